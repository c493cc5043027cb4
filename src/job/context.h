// FlashContext: the job driver's record per handle. It builds on the job's
// state (state/job_state.h: the session, the plan, the platform, the region
// lists, the flash layout, the outcome) and adds the job's threads and what
// the handle's lifecycle needs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "flashwire/flash_api.h"
#include "platform/platform.h"
#include "state/job_state.h"

namespace flashwire {

// The end of a job waits this long for the dispatcher before it gives it up;
// a dispatcher given up counts as ended with kForcedExitCode.
inline constexpr uint32_t kDispatcherStopTimeoutMs = 10000;
inline constexpr uint32_t kForcedExitCode = 999;

struct FlashContext : JobState {
    // Threads and queue (job/thread_protocol.h tells who touches what).
    std::unique_ptr<platform::Thread> dispatcherThread;
    std::unique_ptr<platform::Thread> protocolThread;
    // Set from the start of FlashLoad's job to its end: a second start, a
    // change of the data directory, is refused meanwhile.
    std::atomic<bool> jobRunning{false};
    // Held while a job claims jobRunning and while the data directory is
    // checked and changed: a change either ends before a job starts or is
    // refused because one runs, never written under a job that started
    // after the check.
    std::mutex jobStartMutex;
    // Set when the dispatcher did not end in time at the end of a job and was
    // given up (its forced end): it calls the host no more.
    std::atomic<bool> dispatcherAbandoned{false};
    // How long the end of a job waits for the dispatcher (tests shorten it).
    uint32_t dispatcherStopTimeoutMs = kDispatcherStopTimeoutMs;
    // The exit code of the last job's dispatcher (kForcedExitCode after a forced end).
    uint32_t dispatcherExitCode = 0;
};

// The handle's `context` member has the public, opaque type `::FlashContext`;
// it always holds a flashwire::FlashContext that FlashInit bound to it.
inline FlashContext* ContextOf(const FlashHandle* handle) {
    return handle ? reinterpret_cast<FlashContext*>(handle->context) : nullptr;
}
inline ::FlashContext* OpaqueContext(FlashContext* ctx) { return reinterpret_cast<::FlashContext*>(ctx); }

}  // namespace flashwire
