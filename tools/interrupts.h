// Ctrl-C while a job runs: the first SIGINT (or SIGTERM) is only counted, and
// the job's abortPoll asks the library to abort; a second one ends the
// program at once with status 130.
//
// The signals are blocked in the thread that creates the watch, and so in
// every thread the library starts after it; a thread of the watch's own takes
// them with sigtimedwait. No library thread is ever interrupted in a system
// call. A handler that does nothing is installed meanwhile: a blocked signal
// whose disposition is "ignore" (as a shell may leave SIGINT for a background
// command) may be discarded when it is sent, before the watch can take it.
#pragma once

#include <atomic>
#include <thread>

#include <signal.h>

namespace flashwire::cli {

// Create it before the library starts any thread. One at a time.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Signals received so far.
    int Count() const { return count_.load(); }

private:
    void Watch(std::stop_token stop);

    sigset_t signals_{};
    sigset_t previousMask_{};
    struct sigaction previousInt_{};
    struct sigaction previousTerm_{};
    std::atomic<int> count_{0};
    std::jthread thread_;
};

}  // namespace flashwire::cli
