// --verbose: the commands the phone received and the faults it committed,
// echoed to stderr as they happen, one line each, stamped with the phone's
// time in seconds since the daemon started.
#pragma once

#include <cstddef>
#include <cstdio>

#include "sim/phone.h"

namespace flashwire::simd {

class PhoneEventEcho {
public:
    explicit PhoneEventEcho(std::FILE* out) : out_(out) {}
    // Prints the records added since the last call.
    void EchoNew(const sim::Phone& phone);
    // The phone's logs were emptied: the next records are shown from their start.
    void Forget() { commandsShown_ = faultsShown_ = 0; }
    // Prints one line of the daemon's own ("bytes lost ...").
    void Note(uint64_t us, const char* text);

private:
    std::FILE* out_;
    std::size_t commandsShown_ = 0;
    std::size_t faultsShown_ = 0;
};

}  // namespace flashwire::simd
