// The fault options of flashwire-sim: their values as written on the command
// line, and how they are laid over the phone's fault configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/fault_config.h"

namespace flashwire::simd {

// A random line fault (--fault-bitflip/-drop/-garbage) for some directions and
// UARTs.
struct LineFaultOption {
    enum class Kind : uint8_t { BitFlip, Drop, Garbage };
    Kind kind = Kind::BitFlip;
    double probability = 0.0;
    bool toPhone = true;
    bool toHost = true;
    bool uartA = true;
    bool uartB = true;
};

// The faults asked for on the command line; they are laid over whatever the
// platform's phone configuration already holds.
struct FaultOptions {
    std::vector<LineFaultOption> line;
    std::vector<sim::StallFault> stalls;
    std::vector<sim::ReplyFault> replies;
    std::vector<sim::StuckBits> stuckBits;
    std::optional<uint64_t> silentAtCommand;
    std::optional<uint64_t> silentAtUs;
    std::optional<uint64_t> rebootAtCommand;
    std::optional<uint64_t> rebootAtUs;
};

// Value parsers of the fault options; false with a message in error.
//   --fault-bitflip/-drop/-garbage  P[:DIRECTION[:UART]]
//   --fault-stall                   MS@BYTES[:DIRECTION[:UART]] or MS@TIMEms[:...]
//   --fault-reply                   TOKEN:N:KIND
//   --fault-stuck                   ADDRESS:MASK
bool ParseLineFault(LineFaultOption::Kind kind, std::string_view text, LineFaultOption& out,
                    std::string& error);
bool ParseStallFault(std::string_view text, std::vector<sim::StallFault>& out, std::string& error);
bool ParseReplyFault(std::string_view text, sim::ReplyFault& out, std::string& error);
bool ParseStuckBits(std::string_view text, sim::StuckBits& out, std::string& error);

// Whole numbers: decimal, or hexadecimal with "0x"; nothing else may follow.
bool ParseUnsigned(std::string_view text, uint64_t& out);

// Lays the command line's faults over a phone's fault configuration: line
// probabilities and the silent/reboot points replace what they name; stalls,
// reply faults and stuck bits are added.
void ApplyFaultOptions(const FaultOptions& options, sim::FaultConfig& faults);

}  // namespace flashwire::simd
