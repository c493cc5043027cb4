// The start of the flash-loader phase: find the phone UART behind the command
// port, synchronise, ask for the device information ("INFO"), resolve the
// flash chips against "flash.types", test a further port, raise the baud
// rates and report how the ports share the data.
#pragma once

#include <cstdint>
#include <span>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kInfoRequestSize = 36;
inline constexpr uint32_t kInfoReplySize = 116;
inline constexpr uint32_t kInfoAttempts = 5;
// The oldest flash loader the host can drive: 5.5.
inline constexpr uint32_t kMinLoaderMajor = 5;
inline constexpr uint32_t kMinLoaderMinor = 5;

// SUCCESS lets a job run. Otherwise ERR_ABORT, ERR_PROTOCOL (no probe
// answer, the resynchronisation failed, more than four chips or a chip that
// does not fit the address space), the last "INFO" code, ERR_LEGACY_LOADER,
// ERR_FLASHTYPE, the connection test's code for the first port, or the code
// of the first failed speed switch.
uint32_t TalkToFlashloader(JobState& ctx);

// The speed a port's /maxspeed index allows: 57600, 230400, 460800, 921600
// for the indexes 0, 2, 3, 4; 115200 for any other.
uint32_t MaxSpeedLimit(uint32_t index);

// The largest offered speed that is at most limit and one of the port's
// supported speeds; 0 when none is. Entries of 0 are empty and skipped.
uint32_t ChooseSpeed(std::span<const uint32_t> offered, std::span<const uint32_t> supported, uint32_t limit);

}  // namespace flashwire
