#include "boot/load_loader_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "image/address_range.h"
#include "boot/boot_command_exchange.h"
#include "boot/boot_tokens.h"
#include "boot/pc_sync.h"
#include "session/scoped_priority.h"
#include "image/region_list.h"
#include "session/reporting.h"
#include "wire/le32.h"

namespace flashwire {
namespace {

constexpr uint32_t kAttempts = 5;
constexpr uint32_t kReplyTimeoutMs = 4000;
constexpr uint32_t kDataHeaderSize = 8;

// Every range must lie inside buffer 0 as seen from base.
uint32_t CheckImage(JobState& ctx, const RegionList& list, uint32_t base, std::string_view label) {
    const int labelLength = static_cast<int>(label.size());
    if (list.rangeCount == 0 || list.rangeCount > kMaxLoadedRanges) {
        ReportMessage(ctx, 2, "The %.*s image is empty: nothing to load into the phone's RAM",
                      labelLength, label.data());
        return ERR_BAD_PLATFORM;
    }
    if (list.bufferCount == 0 || !list.buffers[0].data) {
        ReportMessage(ctx, 2, "The %.*s buffer is missing", labelLength, label.data());
        return ERR_BAD_PLATFORM;
    }
    const uint64_t bufferLength = static_cast<uint64_t>(list.buffers[0].last) - list.buffers[0].first + 1;
    for (uint32_t i = 0; i < list.rangeCount; ++i) {
        const AddressRange r = list.ranges[i];
        if (r.first < base || r.last < r.first || static_cast<uint64_t>(r.last) - base >= bufferLength) {
            ReportMessage(ctx, 2, "The %.*s range 0x%08lx - 0x%08lx lies outside its buffer 0x%08lx - 0x%08lx",
                          labelLength, label.data(), static_cast<unsigned long>(r.first),
                          static_cast<unsigned long>(r.last), static_cast<unsigned long>(base),
                          static_cast<unsigned long>(base + bufferLength - 1));
            return ERR_BAD_SREC_ADDR;
        }
    }
    return SUCCESS;
}

// "data" for every chunk of one range. Progress is opened by the caller.
uint32_t SendRange(JobState& ctx, const RegionList& list, uint32_t base, AddressRange range,
                   uint32_t chunkSize, std::vector<uint8_t>& payload) {
    uint32_t address = range.first;
    uint32_t remaining = RangeLength(range);
    uint32_t attemptsLeft = kAttempts;
    while (remaining > 0 && attemptsLeft > 0) {
        const uint32_t n = std::min(chunkSize, remaining);
        ReportDebug(ctx, "Send: 0x%08lx - 0x%08lx (=%lu)", static_cast<unsigned long>(address),
                    static_cast<unsigned long>(address + n - 1), static_cast<unsigned long>(n));
        StoreLe32(address, payload.data());
        StoreLe32(n, payload.data() + 4);
        std::memcpy(payload.data() + kDataHeaderSize, list.buffers[0].data.get() + (address - base), n);
        const uint32_t rc = BLWaitFor4CC(ctx, PC_DATA, std::span(payload.data(), kDataHeaderSize + n),
                                         0, 0, {}, kReplyTimeoutMs);
        if (rc == SUCCESS) {
            address += n;
            remaining -= n;
            attemptsLeft = kAttempts;
            ProgressAdvance(ctx, n);
        } else if (rc == ERR_ABORT) {
            return ERR_ABORT;
        } else {
            if (SendPcSync(ctx) == ERR_ABORT) return ERR_ABORT;
            --attemptsLeft;
        }
    }
    if (attemptsLeft == 0) {
        ReportDebug(ctx, "Too many retries for PC_DATA");
        return ERR_TOO_MANY_RETRIES;
    }
    return SUCCESS;
}

uint32_t SendDone(JobState& ctx) {
    uint32_t result = SUCCESS;
    for (uint32_t attempt = 0; attempt < kAttempts; ++attempt) {
        result = BLWaitFor4CC(ctx, PC_DONE, {}, 0, 0, {}, kReplyTimeoutMs);
        if (result == SUCCESS || result == ERR_ABORT) return result;
        if (SendPcSync(ctx) == ERR_ABORT) return ERR_ABORT;
    }
    ReportDebug(ctx, "Too many retries for PC_DONE");
    return result;
}

}  // namespace

uint32_t LoadLoaderImage(JobState& ctx, const RegionList& list, uint32_t base,
                         uint32_t chunkSize, std::string_view label) {
    if (chunkSize == 0) {
        ReportMessage(ctx, 2, "No usable chunk size for loading the %.*s", static_cast<int>(label.size()),
                      label.data());
        return ERR_BAD_PLATFORM;
    }
    chunkSize = std::min(chunkSize, kMaxDataChunk);
    if (uint32_t rc = CheckImage(ctx, list, base, label); rc != SUCCESS) return rc;

    uint64_t total = 0;
    for (uint32_t i = 0; i < list.rangeCount; ++i) total += RangeLength(list.ranges[i]);
    ReportDebug(ctx, "Data to transfer: %lu bytes in %u region(s)", static_cast<unsigned long>(total),
                list.rangeCount);

    // One host buffer for every "data" payload: header and a full chunk.
    std::vector<uint8_t> payload(kDataHeaderSize + chunkSize);
    {
        ScopedThreadPriority priority(ctx, platform::kPriorityTimeCritical);
        for (uint32_t i = 0; i < list.rangeCount; ++i) {
            const AddressRange range = list.ranges[i];
            char text[kMaxLineLength + 1];
            std::snprintf(text, sizeof text, "Loading %.*s (%u/%u) ...", static_cast<int>(label.size()),
                          label.data(), i + 1, list.rangeCount);
            ProgressBegin(ctx, text, RangeLength(range));
            if (uint32_t rc = SendRange(ctx, list, base, range, chunkSize, payload); rc != SUCCESS) return rc;
            ProgressAdvance(ctx, RangeLength(range));
            ProgressEnd(ctx);
        }
    }
    return SendDone(ctx);
}

}  // namespace flashwire
