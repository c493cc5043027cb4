// The loader phase: talks to the phone's boot ROM, active or passive, and
// leaves the flash loader running in the phone's RAM.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

// The active procedure for an active boot loader; otherwise, at raised
// priority, the passive stage and, when it asks for one, the setup loader
// stage. Codes pass through unchanged.
uint32_t TalkToBootloader(JobState& ctx);

}  // namespace flashwire
