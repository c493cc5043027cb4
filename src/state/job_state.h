// JobState: what the phases of a job (boot, loader, flashops) work on: the
// session, the job's plan, the platform, the region lists, the flash layout
// and the job's outcome. The job driver's context (job/context.h) adds the
// threads and the handle's lifecycle.
#pragma once

#include <cstdint>

#include "catalog/flash_layout.h"
#include "catalog/platform_info.h"
#include "image/memory_region.h"
#include "session/session.h"
#include "state/job_plan.h"

namespace flashwire {

struct JobState : Session {
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

    // Errors leave every step as its returned code; the job driver sets the
    // job's outcome from it, in one place. protocolCause is the boot stage's
    // more precise cause (ERR_TIMEOUT, ERR_PROTOCOL, ERR_CRC) of the last
    // exchange that failed, reported beside the outcome when it differs;
    // 100 (ERR_UNKNOWN) at a job's start means none.
    uint32_t outcome = 0;
    uint32_t protocolCause = 0;
    // The mode of the phase under way.
    uint32_t transferMode = 0;
};

}  // namespace flashwire
