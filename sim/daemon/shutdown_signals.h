// The signals that end the daemon (SIGINT, SIGTERM, SIGHUP), and SIGUSR1 (a
// power cycle of the phone), delivered as a readable descriptor (signalfd) so
// that the event loop notices them between two steps instead of being
// interrupted inside one. SIGPIPE is ignored: a
// closed standard output must not kill the daemon before it saved the flash.
#pragma once

#include <string>

namespace flashwire::simd {

class ShutdownSignals {
public:
    ShutdownSignals() = default;
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    // Blocks the signals for normal delivery and opens the descriptor.
    bool Install(std::string& error);
    // Readable when a signal is pending.
    int Fd() const { return fd_; }
    // Consumes one pending signal; its number, or 0 if none was pending.
    int Take();

private:
    int fd_ = -1;
};

}  // namespace flashwire::simd
