// The daemon's event loop: the phone model on real elapsed time, its UARTs
// bridged to their pseudo-terminals, until a shutdown signal arrives.
#pragma once

#include <array>
#include <string>

#include "sim/daemon/elapsed_clock.h"
#include "sim/daemon/phone_event_echo.h"
#include "sim/daemon/phone_restarts.h"
#include "sim/daemon/shutdown_signals.h"
#include "sim/daemon/uart_bridge.h"
#include "sim/phone.h"

namespace flashwire::simd {

struct LoopParts {
    sim::Phone& phone;
    std::array<UartBridge, 2>& uarts;
    ShutdownSignals& signals;
    const ElapsedClock& clock;
    PhoneRestarts& restarts;
    PhoneEventEcho* echo = nullptr;  // null: quiet
    // The pacing step: at most one wake-up per slice while bytes flow, each
    // handing over what the line carried meanwhile (0: a wake-up for every
    // byte or reply packet due).
    uint64_t timeSliceUs = 0;
};

// Runs until a shutdown signal (true; its number in signalNumber) or a
// failure of a pseudo-terminal or of the wait (false, with a message).
// SIGUSR1 power-cycles the phone and the loop goes on.
bool RunDaemonLoop(LoopParts parts, int& signalNumber, std::string& error);

}  // namespace flashwire::simd
