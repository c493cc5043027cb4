// FlashContext: the job driver's record per handle. It builds on the Session
// (session/session.h: handle, services, ring, ports, progress) and adds the
// job's own state: the plan, the platform, the region lists, the flash
// layout, the threads and the outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "flashwire/flash_api.h"
#include "image/memory_region.h"
#include "state/job_plan.h"
#include "platform/platform.h"
#include "session/session.h"
#include "catalog/flash_layout.h"
#include "catalog/platform_info.h"

namespace flashwire {

// The end of a job waits this long for the dispatcher before it gives it up;
// a dispatcher given up counts as ended with kForcedExitCode.
inline constexpr uint32_t kDispatcherStopTimeoutMs = 10000;
inline constexpr uint32_t kForcedExitCode = 999;

struct FlashContext : Session {
    // The job's plan, read from the options when the job starts.
    JobPlan plan;

    // Paths: the data directory (the executable's, or FlashSetDataDirectory's),
    // ending with the path separator, and "platform.def" in it.
    char exeDirectory[kPathSize]{};
    char platformDefPath[kPathSize]{};

    // Platform (from "platform.def").
    PlatformInfo platform{};

    // Images: setupLoaderList, flashLoaderList, imageList.
    RegionList regionLists[3];
    RegionList& setupLoaderList() { return regionLists[kSetupLoaderList]; }
    RegionList& flashLoaderList() { return regionLists[kFlashLoaderList]; }
    RegionList& imageList() { return regionLists[kImageList]; }

    // Flash layout.
    DeviceInfo deviceInfo{};
    uint32_t chipCount = 0;
    uint32_t totalSectors = 0;
    uint32_t totalFlashBytes = 0;
    FlashChip chips[kMaxChips]{};

    // Threads and queue (job/thread_protocol.h tells who touches what).
    std::unique_ptr<platform::Thread> dispatcherThread;
    std::unique_ptr<platform::Thread> protocolThread;
    // Set from the start of FlashLoad's job to its end: a second start, a
    // change of the data directory, is refused meanwhile.
    std::atomic<bool> jobRunning{false};
    // Set when the dispatcher did not end in time at the end of a job and was
    // given up (its forced end): it calls the host no more.
    std::atomic<bool> dispatcherAbandoned{false};
    // How long the end of a job waits for the dispatcher (tests shorten it).
    uint32_t dispatcherStopTimeoutMs = kDispatcherStopTimeoutMs;
    // The exit code of the last job's dispatcher (kForcedExitCode after a forced end).
    uint32_t dispatcherExitCode = 0;

    // Job state.
    uint32_t lastError = 0;
    uint32_t transferMode = 0;
};

// The handle's `context` member has the public, opaque type `::FlashContext`;
// it always holds a flashwire::FlashContext that FlashInit bound to it.
inline FlashContext* ContextOf(const FlashHandle* handle) {
    return handle ? reinterpret_cast<FlashContext*>(handle->context) : nullptr;
}
inline ::FlashContext* OpaqueContext(FlashContext* ctx) { return reinterpret_cast<::FlashContext*>(ctx); }

}  // namespace flashwire
