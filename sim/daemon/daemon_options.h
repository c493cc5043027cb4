// The command line of flashwire-sim.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/daemon/fault_options.h"

namespace flashwire::simd {

inline constexpr uint64_t kDefaultTimeSliceUs = 1000;  // --time-slice

struct DaemonOptions {
    std::string platform;
    std::string configDir;           // empty: the executable's directory
    std::vector<std::string> links;  // [0] for UART A, [1] for UART B
    std::string flashFile;           // empty: the flash starts erased and is not kept
    uint64_t seed = 1;
    uint64_t powerOnDelayMs = 0;
    bool verbose = false;
    // Halt on a loaded image without its signature, as the model does by
    // default; the daemon runs whatever was loaded unless asked.
    bool requireLoaderSignature = false;
    // Erasing, programming and reading the flash take no time.
    bool instantFlash = false;
    // The flash loader listens for a "TXDT" stream only this long after the
    // frame; earlier stream bytes are lost (0: kept, as by a buffering UART).
    uint64_t streamArmingMs = 0;
    // The pacing step (--time-slice), in microseconds; 0: every byte.
    uint64_t timeSliceUs = kDefaultTimeSliceUs;
    // A wire trace to play back as the phone; empty: the simulated phone.
    std::string replayFile;
    FaultOptions faults;
};

enum class ParseOutcome { Run, Help, Error };

// Parses argv[1..]. Options take their value as the next argument or after
// '=' ("--seed 7", "--seed=7"). Error: error says what is wrong.
ParseOutcome ParseDaemonOptions(std::span<char* const> args, DaemonOptions& out, std::string& error);

// The text of --help.
std::string DaemonUsage(const std::string& programName);

}  // namespace flashwire::simd
