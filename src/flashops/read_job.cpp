// The read job: "SETP", one "SUCK" per block of the /read ranges into the
// image list's buffers, "DONE", then the ranges saved as an S-record file.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "session/error_codes.h"
#include "wire/le32.h"
#include "session/scoped_priority.h"
#include "flashops/flash_commands.h"
#include "flashops/jobs.h"
#include "flashops/sector_map.h"
#include "image/region_list.h"
#include "image/srec_writer.h"
#include "session/reporting.h"
#include "loader/fl_sync.h"
#include "loader/fl_tokens.h"
#include "loader/command_exchange.h"
#include "catalog/size_text.h"

namespace flashwire {
namespace {

constexpr uint32_t kMaxReadBlock = 0x2000;

uint32_t ReadData(JobState& ctx, uint32_t address, uint32_t length, uint8_t* destination) {
    ReportDebug(ctx, "ReadData: 0x%08lx - 0x%08lx", static_cast<unsigned long>(address),
                static_cast<unsigned long>(address + length - 1));
    uint8_t payload[8];
    StoreLe32(address, payload);
    StoreLe32(length, payload + 4);
    // Room for the reply or a 20-byte error record, whatever the block's size.
    std::array<uint8_t, kMaxReadBlock> reply{};
    const uint32_t rc = length <= reply.size()
                            ? ExchangeCommand(ctx, FL_CMD_SUCK, payload, length, reply, kSuckTimeoutMs)
                            : static_cast<uint32_t>(ERR_BAD_PARAMS);
    if (rc != SUCCESS) {
        ReportDebug(ctx, "FLSendCmd(suck): %u (%s)", rc, ErrorName(rc, nullptr));
        return rc;
    }
    std::memcpy(destination, reply.data(), length);
    return SUCCESS;
}

}  // namespace

uint32_t RunReadJob(JobState& ctx) {
    const std::span<const AddressRange> all = ctx.plan.ReadRanges();
    const auto count = static_cast<uint32_t>(all.size());
    const std::vector<AddressRange> ranges(all.begin(), all.begin() + count);
    if (!CheckInsideFlash(ctx, ranges.data(), count) || !CheckInsideBuffers(ctx, ranges.data(), count))
        return ERR_RANGE_OUTSIDE_FLASH;

    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t length = ranges[i].last - ranges[i].first + 1;
        ReportMessage(ctx, 0, "Read region %2u: 0x%08lx - 0x%08lx: %s", i, static_cast<unsigned long>(ranges[i].first),
                      static_cast<unsigned long>(ranges[i].last), SizeText(length));
        total += static_cast<uint64_t>(ranges[i].last - ranges[i].first) + 1;
    }
    const auto total32 = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
    ReportMessage(ctx, 0, "Data to be read: %s", SizeText(total32));
    ProgressBegin(ctx, "Reading Flash ...", total32);
    if (uint32_t rc = SetupWithSyncRetries(ctx); rc != SUCCESS) return rc;

    const uint32_t blockSize = std::min(ReadBlockSize(ctx), kMaxReadBlock);
    RegionList& image = ctx.imageList();
    const uint32_t rc = ForEachBlock(ctx, ranges, blockSize, [&](uint32_t address, uint32_t n) {
        const MemoryRegion& buffer = image.buffers[FindBuffer(image, address)];
        uint8_t* destination = buffer.data.get() + (address - buffer.first);
        return RetryWithSync(ctx, "ReadData", {.abortEndsRetries = false},
                             [&] { return ReadData(ctx, address, n, destination); });
    });
    if (rc != SUCCESS) return rc;
    Done(ctx);
    ProgressEnd(ctx);

    ScopedThreadPriority normal(ctx, platform::kPriorityNormal);
    return WriteSRecordFile(ctx, image, ctx.plan.ReadRanges(), ctx.plan.saveFile.c_str());
}

}  // namespace flashwire
