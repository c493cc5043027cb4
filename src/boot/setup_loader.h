// The setup loader stage: the setup loader that the passive boot loader
// started speaks the same wake-up and framed commands and loads the flash
// loader with a transfer size of its own.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

// Wakes the setup loader, asks its description and loads the flash loader in
// chunks of its adjusted transfer size (at most kMaxDataChunk). A maximum
// transfer size of 256 or less is refused with ERR_UNKOWN_HW.
uint32_t TalkToSetupLoader(JobState& ctx);

}  // namespace flashwire
