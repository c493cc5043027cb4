// Waking the passive boot loader (or the setup loader): '?' pings until three
// '!' in a row, then the initial sync '#'.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

// Pings every millisecond until the phone answers '!' three times with no
// other byte in between, or the host aborts (ERR_ABORT). Then sets the read
// time-out to 250 ms and sends '#'. A failed write gives ERR_PROTOCOL.
uint32_t WakeBootLoader(JobState& ctx);

}  // namespace flashwire
