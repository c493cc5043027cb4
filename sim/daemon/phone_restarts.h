// The phone's restarts while the daemon runs, and the lines that announce
// them on standard output:
// - a power cycle on SIGUSR1, at any moment: loaders, rates and anything not
//   yet sent are lost, the flash is kept, both UARTs are back at the power-on
//   rate and the boot ROM runs after the boot delay;
// - the restart into the boot ROM after the host's end byte 'o' (the phone
//   waits for the next job).
// The lines are written only when standard output takes them at once, so a
// reader that stopped reading never holds up the phone (lines it misses are
// counted and said in the next line that gets through).
#pragma once

#include <cstdint>
#include <string>

#include "sim/phone.h"

namespace flashwire::simd {

// Lines on a descriptor that must never block the daemon.
class EventLines {
public:
    explicit EventLines(int fd) : fd_(fd) {}
    void Write(const std::string& line);

private:
    int fd_;
    uint64_t missed_ = 0;
};

class PhoneRestarts {
public:
    PhoneRestarts(sim::Phone& phone, EventLines& lines);

    // Power-cycles the phone at nowUs.
    void PowerCycle(uint64_t nowUs);
    // Announces the restarts after an end byte since the last call.
    void NoticeRestarts();

private:
    sim::Phone& phone_;
    EventLines& lines_;
    uint32_t endByteRestartsSeen_;
};

}  // namespace flashwire::simd
