// The verify job: "SETP", one "VRFY" per 64 KiB block of the image list's
// ranges, "DONE"; the first block that differs ends the job.
#include <algorithm>

#include "flashops/flash_commands.h"
#include "flashops/jobs.h"
#include "flashops/sector_map.h"
#include "session/reporting.h"
#include "catalog/size_text.h"

namespace flashwire {

uint32_t RunVerifyJob(JobState& ctx) {
    const RegionList& image = ctx.imageList();
    const uint32_t count = std::min<uint32_t>(image.rangeCount, kMaxLoadedRanges);
    if (!CheckInsideFlash(ctx, image.ranges, count) || !CheckInsideBuffers(ctx, image.ranges, count))
        return ERR_RANGE_OUTSIDE_FLASH;

    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += static_cast<uint64_t>(image.ranges[i].last - image.ranges[i].first) + 1;
    const auto total32 = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
    ReportMessage(ctx, 0, "Data to be verified: %s", SizeText(total32));
    ProgressBegin(ctx, "Verifying Flash ...", total32);
    if (uint32_t rc = SetupWithSyncRetries(ctx); rc != SUCCESS) return rc;

    const uint32_t rc = ForEachBlock(ctx, std::span<const AddressRange>(image.ranges, count), kCompareBlock,
                                     [&](uint32_t address, uint32_t n) { return CompareWithRetries(ctx, address, n, true); });
    if (rc != SUCCESS) return rc;
    Done(ctx);
    ProgressEnd(ctx);
    return SUCCESS;
}

}  // namespace flashwire
