// flashwire-sim --replay: a wire trace played back as the phone behind the
// two pseudo-terminals, in real time (sim/replay/replay_phone.h). Logical
// port p0 of the trace is UART A, p1 UART B. The host's opening of a
// terminal is seen through inotify, so that answers recorded right after an
// "open" are not sent before the host is there to read them.
//
// Lines on out: "replay: complete (N events)" once the host has gone through
// the whole trace, "replay: diverged: <where>" at the first byte that
// differs (the replay then answers nothing more), and at the end a summary
// line "replay: ..." with the line it stopped at and the bytes per port.
#pragma once

#include <array>
#include <cstdio>
#include <string>

#include "sim/daemon/elapsed_clock.h"
#include "sim/daemon/pseudo_terminal.h"
#include "sim/daemon/shutdown_signals.h"
#include "sim/replay/replay_phone.h"

namespace flashwire::simd {

struct ReplayParts {
    sim::ReplayPhone& replay;
    std::array<PseudoTerminal, 2>& terminals;
    ShutdownSignals& signals;
    const ElapsedClock& clock;
    std::FILE* out;
};

// Runs until a shutdown signal (true; its number in signalNumber) or a
// failure of a pseudo-terminal or of the wait (false, with a message).
bool RunReplayLoop(ReplayParts parts, int& signalNumber, std::string& error);

// The closing summary line.
std::string ReplaySummary(const sim::ReplayPhone& replay);

}  // namespace flashwire::simd
