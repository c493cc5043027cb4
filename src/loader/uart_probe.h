// Which phone UART a port reaches: the host writes '*', a flash loader
// listening on that line answers '#' and 'A' (UART 0) or 'B' (UART 1).
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kUartProbeMs = 5000;
// A port's uartNumber while its probe has had no answer.
inline constexpr uint32_t kUartUnknown = 0xFFFF;

// Probes the port (which the caller has put into non-blocking mode) for at
// most kUartProbeMs: SUCCESS with the port's uartNumber set, ERR_ABORT when
// the host asked to abort, ERR_TIMEOUT without an answer.
uint32_t ProbeUart(JobState& ctx, uint32_t port);

}  // namespace flashwire
