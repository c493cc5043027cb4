// Exit status of the command line: the job's error code where it fits, a few
// codes of the command line's own above the job codes.
#pragma once

#include <cstdint>

#include "flashwire/flash_api.h"

namespace flashwire::cli {

// The status when a second interrupt ends the program at once (128 + SIGINT,
// as a shell reports a program ended by Ctrl-C).
inline constexpr int kExitInterruptedAgain = 130;

// Job codes are 0..31 and 100 (ERR_UNKNOWN): they are the exit status as they
// are. Any other code (a newer library's) is reported as ERR_UNKNOWN.
inline constexpr int ExitStatusFor(uint32_t code) {
    if (code <= ERR_BAD_PARAMS || code == ERR_UNKNOWN) return static_cast<int>(code);
    return ERR_UNKNOWN;
}

}  // namespace flashwire::cli
