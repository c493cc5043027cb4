#include "boot/ram_blocks.h"

#include <algorithm>

#include "boot/protocol_error.h"
#include "boot/ram_block_exchange.h"
#include "image/region_list.h"
#include "session/reporting.h"
#include "serial/com_port.h"
#include "catalog/size_text.h"

namespace flashwire {
namespace {

constexpr uint8_t PROG_REQ = 'R';
constexpr uint32_t kBlockTimeoutMs = 1000;
constexpr uint32_t kBlockAttempts = 5;

}  // namespace

uint32_t CheckRamBlockImage(JobState& ctx, uint32_t& blockCount) {
    blockCount = 0;
    const RegionList& list = ctx.flashLoaderList();
    if (list.rangeCount == 0) {
        ReportMessage(ctx, 2, "The flash loader image is empty: nothing to load into the phone's RAM");
        return ERR_BAD_PLATFORM;
    }
    const uint32_t base = ctx.platform.flashLoaderBase;
    if (base != 0) {
        ReportMessage(ctx, 2,
                      "An active boot loader places the flash loader at address 0, but its base is 0x%08lx",
                      static_cast<unsigned long>(base));
        return ERR_BAD_PLATFORM;
    }
    if (list.bufferCount == 0 || !list.buffers[0].data || list.buffers[0].first != 0) {
        ReportMessage(ctx, 2, "The flash loader buffer is missing");
        return ERR_BAD_PLATFORM;
    }
    uint32_t highest = 0;
    for (uint32_t i = 0; i < std::min(list.rangeCount, kMaxLoadedRanges); ++i) {
        highest = std::max(highest, list.ranges[i].last);
    }
    const uint32_t count = highest / kRamBlockSize + 1;
    const uint32_t capacity = RegionLength(list.buffers[0]) / kRamBlockSize;
    if (count > capacity) {
        ReportMessage(ctx, 2,
                      "The flash loader reaches address 0x%08lx: %u blocks, more than the %u blocks of its buffer",
                      static_cast<unsigned long>(highest), count, capacity);
        return ERR_BAD_PLATFORM;
    }
    blockCount = count;
    return SUCCESS;
}

uint32_t LoadRamBlocks(JobState& ctx) {
    const uint32_t port = ctx.activePort;
    uint32_t blockCount = 0;
    if (uint32_t rc = CheckRamBlockImage(ctx, blockCount); rc != SUCCESS) return rc;

    uint8_t request = 0;
    uint32_t received = 0;
    if (!ComRead(ctx, port, &request, 1, received)) {
        ReportMessage(ctx, 1, "ReadFile failed");
        return ERR_PROTOCOL;
    }
    if (received == 0) {
        ReportProtocolError(ctx, "PROG_REQ", PROG_REQ, std::nullopt);
        return ERR_PROTOCOL;
    }
    if (request != PROG_REQ) {
        ReportProtocolError(ctx, "PROG_REQ", PROG_REQ, request);
        return ERR_PROTOCOL;
    }

    const uint32_t previousTimeout = ComSetTimeout(ctx, port, kBlockTimeoutMs);
    ReportMessage(ctx, 0, "%s, %u blocks to transfer = %s", "Loading Ram", blockCount,
                  SizeText(blockCount * kRamBlockSize));
    ProgressBegin(ctx, "Loading Ram...", blockCount);

    uint32_t result = SUCCESS;
    for (uint32_t block = 0; block < blockCount && result == SUCCESS; ++block) {
        ProgressUpdate(ctx, block);
        bool done = false;
        for (uint32_t attempt = 0; attempt < kBlockAttempts && !done; ++attempt) {
            if (SendBlockNumber(ctx, block) != SUCCESS) {
                ReportDebug(ctx, "Send Block Number %u failed!", block);
                ReportMessage(ctx, 1, "Send Block No failed!");
                continue;
            }
            // A failed data write still sends the checksum: the phone's
            // refusal of it ends the attempt in step with the phone.
            if (SendBlockData(ctx, block) != SUCCESS) ReportMessage(ctx, 1, "Send Block failed!");
            if (SendBlockChecksum(ctx, block) == SUCCESS) {
                done = true;
            } else {
                ReportDebug(ctx, "Send Block %u Checksum failed!", block);
            }
        }
        if (!done) result = ERR_TOO_MANY_RETRIES;
    }

    // The end marker's own failure is logged by it and does not fail the load.
    if (result == SUCCESS) SendBlockNumber(ctx, kEndOfImageBlock);

    ComSetTimeout(ctx, port, previousTimeout);
    ProgressUpdate(ctx, blockCount);
    ProgressEnd(ctx);
    return result;
}

}  // namespace flashwire
