// The resynchronisation exchange with the passive boot loader or the setup
// loader: "sync" (raw, no frame), answered by "-()-".
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

// Sends "sync" and waits 5000 ms for "-()-", again and again, until the phone
// answers (SUCCESS), the host aborts (ERR_ABORT) or a write fails
// (ERR_PROTOCOL).
uint32_t SendPcSync(JobState& ctx);

}  // namespace flashwire
