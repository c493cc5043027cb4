// The active boot loader's RAM loading: the flash loader image in numbered
// 4096-byte blocks, then the end marker.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

// Checks that the flash loader can be sent as blocks counted from address 0:
// a non-empty image, a buffer based at 0 and no more blocks than the buffer
// holds. Stores the block count; refusals are ERR_BAD_PLATFORM with a
// level-2 line saying why.
uint32_t CheckRamBlockImage(JobState& ctx, uint32_t& blockCount);

// Waits for 'R', sends every block (5 attempts each) and the end marker.
// SUCCESS, ERR_PROTOCOL, ERR_TOO_MANY_RETRIES or ERR_BAD_PLATFORM.
uint32_t LoadRamBlocks(JobState& ctx);

}  // namespace flashwire
