// The passive boot loader: wake it, ask its description, check that the
// phone is a kind this system knows, and load the setup loader (when the boot
// loader needs one) or the flash loader into its RAM.
#pragma once

#include <cstdint>

#include "boot/loader_info.h"
#include "state/job_state.h"

namespace flashwire {

// Decides whether the described boot loader is acceptable and whether it
// needs the setup loader (written to setupLoaderNeeded, before the
// setupLoaderIgnored option applies).
bool AcceptBootLoader(uint32_t memoryInterfaceType, const LoaderInfo& info, bool& setupLoaderNeeded);

// The largest of 4096, 2048, 1024, ... not above the adjusted transfer size;
// 0 when none fits.
uint32_t BootLoaderChunkSize(uint32_t adjustedTransferSize);

// The whole stage; sets setupLoaderNeeded. ERR_UNKOWN_HW for a phone that is
// not acceptable; otherwise the codes of the wake-up, "info" and loading.
uint32_t TalkToPassiveBootloader(JobState& ctx);

}  // namespace flashwire
