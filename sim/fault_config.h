// Faults the simulated phone can be told to commit: line noise per direction
// and UART, stalls, chosen replies refused or swallowed, the phone going
// silent or rebooting at a chosen point. Every fault that happens is logged
// with its virtual time (Phone::faultLog). Random faults draw from PRNGs
// seeded by the phone's seed, so a configuration and a seed replay exactly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace flashwire::sim {

inline constexpr uint64_t kNever = UINT64_MAX;

// Direction of a byte on the line.
enum class Direction : uint8_t { ToPhone = 0, ToHost = 1 };

// Per-byte probabilities (0 to 1) of the random line faults of one direction
// on one UART.
struct LineFaults {
    double bitFlip = 0.0;  // one random bit of the byte is inverted
    double drop = 0.0;     // the byte is lost
    double garbage = 0.0;  // a random byte is inserted before the byte
};

// The line stops for durationUs: ToHost holds the phone's transmitter, ToPhone
// holds the phone's reaction to what it receives on that UART. It starts at
// the first byte of that direction at or after atUs, or when the byte count of
// that direction on that UART reaches atByte, whichever is given (once).
struct StallFault {
    Direction direction = Direction::ToHost;
    unsigned uart = 0;
    uint64_t atUs = kNever;
    uint64_t atByte = kNever;
    uint64_t durationUs = 0;
};

enum class ReplyFaultKind : uint8_t {
    Refuse,   // framed replies become "nack" / "-err" (error record code kErrInjected);
              // single-byte answers become '?'
    Silence,  // the reply is not sent at all
    BadCrc,   // framed replies carry a CRC off by one bit; single bytes are inverted
};

// Turns the occurrence-th (counted from 0) sending of the reply named token
// into a fault. Tokens are those of OutgoingReply (phone.h).
struct ReplyFault {
    std::string token;
    uint32_t occurrence = 0;
    ReplyFaultKind kind = ReplyFaultKind::Refuse;
};

// A flash cell whose bits in mask read 0 whatever is erased or programmed (a
// worn cell): programming a 1 there fails the verification after "CLOS".
struct StuckBits {
    uint32_t address = 0;
    uint8_t mask = 0;
};

struct FaultConfig {
    // line[direction][uart]
    std::array<std::array<LineFaults, 2>, 2> line{};
    std::vector<StallFault> stalls;
    std::vector<ReplyFault> replies;
    // The phone stops answering for good (no byte leaves it any more) when it
    // has received this many commands (counted over all stages: the entries
    // of commandLog), or at this virtual time.
    uint64_t silentAtCommand = kNever;
    uint64_t silentAtUs = kNever;
    // The phone resets (RAM and loaders lost, rates back to the power-on rate,
    // the boot ROM starts again; the flash keeps its contents) when it has
    // received this many commands, or at this virtual time. Once each.
    uint64_t rebootAtCommand = kNever;
    uint64_t rebootAtUs = kNever;
    std::vector<StuckBits> stuckBits;

    LineFaults& Line(Direction d, unsigned uart) { return line[static_cast<unsigned>(d)][uart & 1u]; }
    const LineFaults& Line(Direction d, unsigned uart) const {
        return line[static_cast<unsigned>(d)][uart & 1u];
    }
};

}  // namespace flashwire::sim
