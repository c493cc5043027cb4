// One phase of the talk with the phone: the loader phase (mode 3) wakes the
// boot ROM and loads the loaders; the flash-loader phase (modes 0, 1, 2)
// starts the flash loader and runs the flash, verify or read job.
#pragma once

#include <cstdint>

#include "job/context.h"

namespace flashwire {

enum TransferMode : uint32_t { kModeFlash = 0, kModeVerify = 1, kModeRead = 2, kModeLoader = 3 };

// fileName is used only in the first debug line. Returns the phase's code.
uint32_t RunPhase(FlashContext& ctx, const char* fileName, uint32_t mode);

// A duration as "%lus" below a minute, "%u:%02u" below an hour, else
// "%u:%02u:%02u"; 0 seconds count as 1.
void FormatDuration(uint32_t seconds, char* out, std::size_t size);

}  // namespace flashwire
