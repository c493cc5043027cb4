// The dispatcher thread of a job: the only thread that calls the host's
// callbacks while the job runs. It delivers the records of the message ring
// in order and polls the host's abortPoll.
#pragma once

#include <cstdint>

#include "job/context.h"

namespace flashwire {

// The longest wait for new records, and the least time between two polls of
// abortPoll (millisecond ticks of the context's clock).
inline constexpr uint32_t kDispatcherWaitMs = 750;
inline constexpr uint32_t kAbortPollIntervalMs = 750;

// The dispatcher's body. Reports "ThreadGUI started" (with /debug=1, straight
// to the host: its own lines never go through the ring), then until
// queueMode is clear: waits for dataEvent (at most kDispatcherWaitMs),
// delivers every stored record, sets drainedEvent and, unless an abort was
// already requested, polls abortPoll when more than kAbortPollIntervalMs
// passed since the last poll (a non-zero answer sets abortRequested; the host
// is not polled again in that job). The round after queueMode was cleared
// still delivers, so every record of the job reaches the host; then it
// reports "ThreadGUI finished" (straight to the host as well) and returns 0.
//
// Once dispatcherAbandoned is set (the end of the job gave it up) it starts
// no further callback and touches nothing of the context after the callback
// under way returns but the ring's read position; it then returns
// kForcedExitCode.
uint32_t RunDispatcher(FlashContext& ctx);

}  // namespace flashwire
