// The protocol fuzzer's harness: a whole job (boot stage and flash-loader
// stage) against a phone that answers with the bytes of the input, on a
// virtual clock. The input format is in fuzz/protocol_session.h; what is
// checked is in docs/fuzzing.md and in RunInput below.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace protocol_fuzz {

// A bound on the job after the phone's last byte: by then the job has ended
// by itself, or it waits in one of the waits that have no time limit (the
// attended boot ROM wait, "SYNC" after a lost "DONE" answer). The harness
// raises the abort request then (or sooner, below); the job must have ended
// kSilenceBoundMs + kAbortGraceMs after the phone's last byte.
inline constexpr uint64_t kSilenceBoundMs = 10 * 60 * 1000;
inline constexpr uint64_t kAbortGraceMs = 5 * 60 * 1000;
// The abort request comes sooner, after this many waits (reads and sleeps)
// without a byte from the phone: a wait that polls in small steps (the boot
// ROM wait pings every millisecond) would otherwise cost the fuzzer most of
// its time. Bounded waits that take bigger steps still run out. (The good
// sessions of the corpus wait at most 181 times in a row.)
inline constexpr uint64_t kQuietWaitsBeforeAbort = 400;
// Calls into the clock and the ports per input: more is a loop that does not
// move virtual time, or that ignores the abort request (a hang in real time).
inline constexpr uint64_t kMaxCalls = 200'000;

struct Outcome {
    uint32_t result = 0;
    bool aborted = false;       // the harness raised the abort request (silence or quiet calls)
    uint64_t endMs = 0;         // virtual time at the job's end
    uint64_t lastByteMs = 0;    // virtual time of the phone's last byte (0: none)
    uint64_t calls = 0;         // calls into the clock and the ports
    uint64_t mostQuietWaits = 0;  // most waits in a row without a byte from the phone
    std::string violation;      // empty when every invariant held
};

// Runs the job the input describes. One input at a time (not thread-safe).
Outcome RunInput(std::span<const uint8_t> input);

// The configuration directory the jobs use (written on first use; ends with '/').
const std::string& ConfigDir();

}  // namespace protocol_fuzz
