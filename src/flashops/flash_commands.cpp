#include "flashops/flash_commands.h"

#include <algorithm>
#include <array>
#include <functional>

#include "platform/invariant.h"
#include "wire/crc32.h"
#include "wire/le32.h"
#include "image/region_list.h"
#include "session/reporting.h"
#include "loader/fl_sync.h"
#include "loader/fl_tokens.h"
#include "loader/txdt_streams.h"
#include "loader/command_exchange.h"
#include "serial/com_port.h"

namespace flashwire {
namespace {

constexpr uint32_t kSetupPayloadSize = 36;
constexpr uint32_t kSetupReplySize = 4;

// The image list buffer holding [address, address + length), or null.
const MemoryRegion* BufferHolding(JobState& ctx, uint32_t address, uint32_t length) {
    const RegionList& list = ctx.imageList();
    const uint32_t index = FindBuffer(list, address);
    if (index == kNoBuffer || index >= list.bufferCount) return nullptr;
    const MemoryRegion& buffer = list.buffers[index];
    if (buffer.data == nullptr || length == 0 || length - 1 > buffer.last - address) return nullptr;
    return &buffer;
}

}  // namespace

uint32_t MaxTries(const JobState& ctx) {
    const uint32_t noRetry = ctx.plan.noRetry;
    return noRetry != 0 ? 0 : kDefaultTries;
}

uint32_t Setup(JobState& ctx) {
    ReportDebug(ctx, "Setup");
    std::array<uint8_t, kSetupPayloadSize> payload{};
    StoreLe32(ctx.plan.erasePasses, payload.data());
    for (uint32_t i = 0; i < kMaxChips && i < ctx.chipCount; ++i) {
        const FlashChip& chip = ctx.chips[i];
        StoreLe32(chip.deviceId, payload.data() + 4 + 8 * i);
        StoreLe32(static_cast<uint32_t>(chip.manufacturerId & 0xFFu) << 24 |
                      static_cast<uint32_t>(chip.programmingMode & 0xFFu) << 16 |
                      static_cast<uint32_t>(chip.commandSet & 0xFFu) << 8,
                  payload.data() + 8 + 8 * i);
    }
    std::array<uint8_t, kErrorRecordSize> reply{};
    return ExchangeCommand(ctx, FL_CMD_SETP, payload, kSetupReplySize, reply, kSetupTimeoutMs);
}

uint32_t Done(JobState& ctx) {
    ReportDebug(ctx, "Done");
    return SendLoaderCommand(ctx, FL_CMD_DONE, {}, kDoneTimeoutMs);
}

uint32_t OpenSector(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length,
                    uint8_t flags) {
    ReportDebug(ctx, "OpenSector: %u/%u, 0x%08lx, %lu, 0x%02x", chip, sector, static_cast<unsigned long>(first),
                static_cast<unsigned long>(length), flags);
    uint8_t payload[20];
    StoreLe32(chip << 16 | sector, payload);
    StoreLe32(first, payload + 4);
    StoreLe32(length, payload + 8);
    StoreLe32(flags, payload + 12);
    StoreLe32(0xFF, payload + 16);
    return SendLoaderCommand(ctx, FL_CMD_OPEN, payload, kOpenTimeoutMs);
}

uint32_t SendData(JobState& ctx, uint32_t address, uint32_t length) {
    ReportDebug(ctx, "SendData: 0x%08lx - 0x%08lx", static_cast<unsigned long>(address),
                static_cast<unsigned long>(address + length - 1));
    const MemoryRegion* buffer = BufferHolding(ctx, address, length);
    if (buffer == nullptr) return ERR_RANGE_OUTSIDE_FLASH;
    const RegionList& list = ctx.imageList();
    const auto bufferIndex = static_cast<uint32_t>(buffer - list.buffers);
    const uint8_t* data = buffer->data.get() + (address - buffer->first);

    const uint32_t ports = ctx.overlappedIo ? std::min<uint32_t>(ctx.portCount, kMaxStreams) : 1;
    const uint32_t streams = length > kSingleStreamLimit ? std::max<uint32_t>(ports, 1) : 1;
    std::array<uint8_t, kTxdtPayloadSize> payload{};
    StoreLe32(address, payload.data());
    StoreLe32(length, payload.data() + 4);
    StoreLe32(1, payload.data() + 8);
    StoreLe32(bufferIndex << 16 | streams, payload.data() + 12);
    uint32_t offset = 0;
    for (uint32_t k = 0; k < streams; ++k) {
        const uint32_t part =
            k + 1 < streams ? static_cast<uint32_t>(static_cast<uint64_t>(length) * ctx.ports[k].share / 100)
                            : length - offset;
        // The streams' shares cut the block without a gap or an overlap.
        FLASHWIRE_ASSERT(part <= length - offset);
        uint8_t* entry = payload.data() + 16 + 16 * k;
        StoreLe32(ctx.ports[k].uartNumber, entry);
        StoreLe32(offset, entry + 4);
        StoreLe32(part, entry + 8);
        StoreLe32(Crc32(std::span<const uint8_t>(data + offset, part)), entry + 12);
        offset += part;
    }
    FLASHWIRE_ASSERT(offset == length);
    return SendLoaderCommand(ctx, FL_CMD_TXDT, payload, kTransferTimeoutMs);
}

uint32_t EraseSector(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length) {
    ReportDebug(ctx, "EraseSector: %u/%u, 0x%08lx, %lu", chip, sector, static_cast<unsigned long>(first),
                static_cast<unsigned long>(length));
    uint8_t payload[12];
    StoreLe32(chip << 16 | sector, payload);
    StoreLe32(first, payload + 4);
    StoreLe32(length, payload + 8);
    return SendLoaderCommand(ctx, FL_CMD_ERAS, payload, kEraseTimeoutMs);
}

uint32_t CloseSector(JobState& ctx, uint32_t chip, uint32_t sector) {
    ReportDebug(ctx, "CloseSector: %u/%u", chip, sector);
    uint8_t payload[4];
    StoreLe32(sector, payload);  // the sector alone, without the chip
    return SendLoaderCommand(ctx, FL_CMD_CLOS, payload, kCloseTimeoutMs);
}

uint32_t OpenSectorWithRetries(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length,
                               uint8_t flags) {
    return RetryWithSync(ctx, "OpenSector", {}, [&] { return OpenSector(ctx, chip, sector, first, length, flags); });
}

uint32_t SendDataWithRetries(JobState& ctx, uint32_t address, uint32_t length) {
    return RetryWithSync(ctx, "SendData", {.abortEndsRetries = false}, [&] { return SendData(ctx, address, length); });
}

uint32_t EraseSectorWithRetries(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length) {
    return RetryWithSync(ctx, "EraseSector", {}, [&] { return EraseSector(ctx, chip, sector, first, length); });
}

uint32_t CloseSectorWithRetries(JobState& ctx, uint32_t chip, uint32_t sector) {
    return RetryWithSync(ctx, "CloseSector", {}, [&] { return CloseSector(ctx, chip, sector); });
}

uint32_t VerifyData(JobState& ctx, uint32_t address, uint32_t length, bool report) {
    ReportDebug(ctx, "VerifyData: 0x%08lx - 0x%08lx", static_cast<unsigned long>(address),
                static_cast<unsigned long>(address + length - 1));
    const MemoryRegion* buffer = BufferHolding(ctx, address, length);
    if (buffer == nullptr) return ERR_RANGE_OUTSIDE_FLASH;
    uint8_t payload[8];
    StoreLe32(address, payload);
    StoreLe32(length, payload + 4);
    std::array<uint8_t, kErrorRecordSize> reply{};
    if (uint32_t rc = ExchangeCommand(ctx, FL_CMD_VRFY, payload, 4, reply, kVerifyTimeoutMs); rc != SUCCESS) return rc;
    const uint32_t phone = LoadLe32(reply.data());
    const uint32_t image = Crc32(std::span<const uint8_t>(buffer->data.get() + (address - buffer->first), length));
    if (phone == image) return SUCCESS;
    if (report)
        ReportMessage(ctx, 1, "VerifyData: Difference found ! (0x%08lx != 0x%08lx)", static_cast<unsigned long>(phone),
                      static_cast<unsigned long>(image));
    else
        ReportMessage(ctx, 0, "VerifyData: Detected difference (0x%08lx != 0x%08lx)",
                      static_cast<unsigned long>(phone), static_cast<unsigned long>(image));
    return ERR_VERIFY_DIFFERENCE;
}

uint32_t CompareWithRetries(JobState& ctx, uint32_t address, uint32_t length, bool report) {
    const uint32_t tries = std::max<uint32_t>(MaxTries(ctx), 1);
    for (uint32_t tried = 1;; ++tried) {
        const uint32_t rc = VerifyData(ctx, address, length, report);
        if (rc == SUCCESS || rc == ERR_ABORT || rc == ERR_VERIFY_DIFFERENCE || rc == ERR_RANGE_OUTSIDE_FLASH)
            return rc;
        ReportDebug(ctx, "Retry %u: VerifyData", tried);
        const uint32_t synced = FLSync(ctx);
        if (synced == ERR_ABORT) return ERR_ABORT;
        if (synced != SUCCESS) {
            ReportDebug(ctx, "Failed to sync");
            return ERR_PROTOCOL;
        }
        if (tried >= tries) return ERR_TOO_MANY_RETRIES;
    }
}

uint32_t BlockInBuffer(JobState& ctx, uint32_t address, uint32_t want) {
    const RegionList& list = ctx.imageList();
    const uint32_t index = FindBuffer(list, address);
    if (index == kNoBuffer || index >= list.bufferCount || list.buffers[index].data == nullptr) {
        ReportMessage(ctx, 2, "No image buffer holds address 0x%08lx", static_cast<unsigned long>(address));
        return 0;
    }
    const uint32_t room = list.buffers[index].last - address;  // bytes behind address
    return want - 1 > room ? room + 1 : want;
}

bool CheckInsideBuffers(JobState& ctx, const AddressRange* ranges, uint32_t count) {
    const RegionList& list = ctx.imageList();
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t address = ranges[i].first;
        while (address <= ranges[i].last) {
            const uint32_t index = FindBuffer(list, static_cast<uint32_t>(address));
            if (index == kNoBuffer || index >= list.bufferCount || list.buffers[index].data == nullptr) {
                ReportMessage(ctx, 2, "No image buffer holds address 0x%08lx", static_cast<unsigned long>(address));
                return false;
            }
            address = static_cast<uint64_t>(list.buffers[index].last) + 1;
        }
    }
    return true;
}

uint32_t RetryWithSync(JobState& ctx, const char* name, RetryRules rules,
                       const std::function<uint32_t()>& operation) {
    uint32_t result = operation();
    // A block outside the image buffers is the host's own fault: retrying cannot help.
    if (result == SUCCESS || result == ERR_ABORT || result == ERR_RANGE_OUTSIDE_FLASH) return result;
    if (rules.abortEndsRetries && IsAbortRequested(ctx)) return ERR_ABORT;
    const uint32_t tries = MaxTries(ctx);
    for (uint32_t retry = 1; retry < tries; ++retry) {
        ReportDebug(ctx, "Retry %u: %s", retry, name);
        const uint32_t synced = FLSync(ctx);
        if (synced == ERR_ABORT) return ERR_ABORT;  // the user's stop, not a line fault
        if (synced != SUCCESS) {
            ReportDebug(ctx, "Failed to sync");
            return ERR_PROTOCOL;
        }
        result = operation();
        if (result == SUCCESS || result == ERR_ABORT) return result;
    }
    ReportDebug(ctx, "Giving up on %s", name);
    return ERR_TOO_MANY_RETRIES;
}

uint32_t SetupWithSyncRetries(JobState& ctx) {
    return RetryWithSync(ctx, "Setup", {.abortEndsRetries = false},
                         [&] { return Setup(ctx); });
}

uint32_t ForEachBlock(JobState& ctx, std::span<const AddressRange> ranges, uint32_t blockSize,
                      const std::function<uint32_t(uint32_t address, uint32_t length)>& block) {
    uint64_t done = 0;
    for (const AddressRange& range : ranges) {
        uint32_t address = range.first;
        uint64_t left = static_cast<uint64_t>(range.last - range.first) + 1;
        while (left > 0) {
            // Blocks follow the range, but never leave the buffer that holds their start.
            const uint32_t n = BlockInBuffer(ctx, address, static_cast<uint32_t>(std::min<uint64_t>(left, blockSize)));
            if (n == 0) return ERR_RANGE_OUTSIDE_FLASH;
            // A block lies inside one buffer and keeps the size asked for.
            FLASHWIRE_ASSERT(n <= blockSize && n <= left && BufferHolding(ctx, address, n) != nullptr);
            if (uint32_t rc = block(address, n); rc != SUCCESS) return rc;
            address += n;
            left -= n;
            done += n;
            ProgressUpdate(ctx, static_cast<uint32_t>(std::min<uint64_t>(done, UINT32_MAX)));
        }
    }
    return SUCCESS;
}

}  // namespace flashwire
