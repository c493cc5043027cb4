#include "boot/ram_block_exchange.h"

#include "image/region_list.h"
#include "session/reporting.h"
#include "serial/com_port.h"

namespace flashwire {
namespace {

constexpr uint8_t CMD_BLK_NO = 'b';
constexpr uint8_t BLK_NO_ACK = 'B';
constexpr uint8_t CMD_BLK_CHK = 'c';
constexpr uint8_t CHK_ACCEPTED = 'N';
constexpr uint8_t RSP_TX_CHK_FAIL = 'T';
constexpr uint8_t RSP_FL_CHK_FAIL = 'F';
constexpr uint8_t END_ACK = 'P';

}  // namespace

uint16_t BlockChecksum(std::span<const uint8_t> bytes) {
    uint16_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint16_t>(sum + b);
    return static_cast<uint16_t>(sum ^ 0xFFFFu);
}

std::span<const uint8_t> RamBlock(const RegionList& list, uint32_t block) {
    if (list.bufferCount == 0 || !list.buffers[0].data) return {};
    const uint64_t offset = static_cast<uint64_t>(block) * kRamBlockSize;
    const uint64_t length = static_cast<uint64_t>(list.buffers[0].last) - list.buffers[0].first + 1;
    if (offset + kRamBlockSize > length) return {};
    return {list.buffers[0].data.get() + offset, kRamBlockSize};
}

uint32_t SendBlockNumber(JobState& ctx, uint32_t block) {
    const uint32_t port = ctx.activePort;
    const uint8_t command[3] = {CMD_BLK_NO, static_cast<uint8_t>(block >> 8),
                                static_cast<uint8_t>(block & 0xFFu)};
    uint32_t sent = 0;
    if (!ComWrite(ctx, port, command, 3, sent) || sent != 3) {
        ReportDebug(ctx, "TX: CMD_BLK_NO failed (%lu != %lu)", 3ul, static_cast<unsigned long>(sent));
        return ERR_PROTOCOL;
    }

    uint8_t answer[3] = {};
    uint32_t received = 0;
    if (block == kEndOfImageBlock) {
        if (!ComRead(ctx, port, answer, 1, received)) {
            ReportDebug(ctx, "No response from target, err code=%d, last block", 0);
            return ERR_PROTOCOL;
        }
        if (received == 0) {
            ReportDebug(ctx, "RX: FAILED (3 != %lu), last block", static_cast<unsigned long>(received));
            return ERR_PROTOCOL;
        }
        if (answer[0] != END_ACK) {
            ReportDebug(ctx, "RX: Got %c (instead of %c), last block", answer[0], END_ACK);
            return ERR_PROTOCOL;
        }
        return SUCCESS;
    }

    if (!ComRead(ctx, port, answer, 3, received)) {
        ReportDebug(ctx, "RX: FAILED (%d)", 0);
        ReportMessage(ctx, 1, "RX: FAILED for block %u!", block);
        return ERR_PROTOCOL;
    }
    if (received < 3) {
        ReportDebug(ctx, "RX: FAILED (3 != %lu)", static_cast<unsigned long>(received));
        ReportMessage(ctx, 1, "timeout or wrong length for the expected %u!", block);
        return ERR_PROTOCOL;
    }
    if (answer[0] != BLK_NO_ACK) {
        ReportDebug(ctx, "RX: Got response %c (instead of %c)", answer[0], BLK_NO_ACK);
        ReportMessage(ctx, 1, "maybe it was a negative acknowledge %u!", block);
        return ERR_PROTOCOL;
    }
    const uint32_t acknowledged = static_cast<uint32_t>(answer[1]) << 8 | answer[2];
    if (acknowledged != block) {
        ReportDebug(ctx, "Wrong block number acknowledged, got response %u (instead of %u)",
                    acknowledged, block);
        ReportMessage(ctx, 1, "%u is not %u!", acknowledged, block);
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

uint32_t SendBlockData(JobState& ctx, uint32_t block) {
    ReportDebug(ctx, "TX: data[%u] (%d bytes)", block, static_cast<int>(kRamBlockSize));
    const std::span<const uint8_t> data = RamBlock(ctx.flashLoaderList(), block);
    if (data.empty()) {
        ReportMessage(ctx, 2, "Block %u lies outside the flash loader buffer", block);
        return ERR_BAD_PLATFORM;
    }
    uint32_t sent = 0;
    if (!ComWrite(ctx, ctx.activePort, data.data(), kRamBlockSize, sent) || sent != kRamBlockSize) {
        ReportDebug(ctx, "TX: FAILED (%d != %lu)", static_cast<int>(kRamBlockSize),
                    static_cast<unsigned long>(sent));
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

uint32_t SendBlockChecksum(JobState& ctx, uint32_t block) {
    const uint32_t port = ctx.activePort;
    const std::span<const uint8_t> data = RamBlock(ctx.flashLoaderList(), block);
    if (data.empty()) {
        ReportMessage(ctx, 2, "Block %u lies outside the flash loader buffer", block);
        return ERR_BAD_PLATFORM;
    }
    const uint16_t sum = BlockChecksum(data);
    const uint8_t command[3] = {CMD_BLK_CHK, static_cast<uint8_t>(sum >> 8),
                                static_cast<uint8_t>(sum & 0xFFu)};
    uint32_t sent = 0;
    if (!ComWrite(ctx, port, command, 3, sent) || sent != 3) return ERR_PROTOCOL;

    uint8_t status = 0;
    uint32_t received = 0;
    if (!ComRead(ctx, port, &status, 1, received)) {
        ReportDebug(ctx, "RX: FAILED (%d)", 0);
        return ERR_PROTOCOL;
    }
    if (received == 0) {
        ReportDebug(ctx, "RX: FAILED; (1 != %lu)", static_cast<unsigned long>(received));
        return ERR_PROTOCOL;
    }
    if (status == CHK_ACCEPTED) return SUCCESS;
    if (status == RSP_TX_CHK_FAIL || status == RSP_FL_CHK_FAIL) {
        ReportDebugText(ctx, status == RSP_TX_CHK_FAIL ? "RX: Got RSP_TX_CHK_FAIL" : "RX: Got RSP_FL_CHK_FAIL");
        uint8_t detail[2] = {};
        uint32_t got = 0;
        if (!ComRead(ctx, port, detail, 2, got)) got = 0;
        // Only the bytes that really arrived are shown.
        if (got >= 2) {
            ReportDebug(ctx, "RX: Got 0x%02x 0x%02x 0x%02x", status, detail[0], detail[1]);
        } else if (got == 1) {
            ReportDebug(ctx, "RX: Got 0x%02x 0x%02x", status, detail[0]);
        } else {
            ReportDebug(ctx, "RX: Got 0x%02x", status);
        }
        ReportMessage(ctx, 1, "Checksum Error!");
        ctx.protocolCause = ERR_CRC;
        return ERR_CRC;
    }
    ReportDebug(ctx, "RX: Protocol error, got response %c", status);
    return ERR_PROTOCOL;
}

}  // namespace flashwire
