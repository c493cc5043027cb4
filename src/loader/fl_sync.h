// Resynchronising with the flash loader: "SYNC" (raw) until "syn!" comes back.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kSyncAttempts = 5;
inline constexpr uint32_t kSyncWaitMs = 5000;

// Up to five "SYNC"s, each followed by a 5000 ms wait for "syn!". SUCCESS,
// ERR_ABORT, or ERR_PROTOCOL (a failed write, or no answer at all).
uint32_t FLSync(JobState& ctx);

}  // namespace flashwire
