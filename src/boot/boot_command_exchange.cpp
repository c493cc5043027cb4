#include "boot/boot_command_exchange.h"

#include "boot/boot_tokens.h"
#include "session/reporting.h"
#include "serial/com_port.h"
#include "wire/crc32.h"
#include "wire/four_cc.h"
#include "wire/le32.h"
#include "wire/code_scanner.h"

namespace flashwire {
namespace {

bool WriteAll(JobState& ctx, const uint8_t* data, uint32_t count) {
    uint32_t sent = 0;
    return ComWrite(ctx, ctx.activePort, data, count, sent) && sent == count;
}

bool WriteLe32(JobState& ctx, uint32_t value) {
    uint8_t bytes[4];
    StoreLe32(value, bytes);
    return WriteAll(ctx, bytes, 4);
}

bool ReadExactly(JobState& ctx, uint8_t* buffer, uint32_t count) {
    uint32_t received = 0;
    return ComRead(ctx, ctx.activePort, buffer, count, received) && received == count;
}

void ReportWaitFailed(JobState& ctx, uint32_t code, uint32_t result) {
    ReportDebug(ctx, "BLWaitFor4CC(%c%c%c%c) failed: %u", FourCCChar(code, 0), FourCCChar(code, 1),
                FourCCChar(code, 2), FourCCChar(code, 3), result);
}

uint32_t SendCommandFrame(JobState& ctx, uint32_t command, std::span<const uint8_t> payload) {
    const auto length = static_cast<uint32_t>(payload.size());
    uint8_t code[4];
    StoreFourCC(command, code);
    if (!WriteAll(ctx, code, 4)) {
        ReportDebug(ctx, "Failed to send %c%c%c%c", FourCCChar(command, 0), FourCCChar(command, 1),
                    FourCCChar(command, 2), FourCCChar(command, 3));
        return ERR_PROTOCOL;
    }
    if (!WriteLe32(ctx, length)) {
        ReportDebug(ctx, "Failed to send data size");
        return ERR_PROTOCOL;
    }
    if (length > 0) {
        if (!WriteAll(ctx, payload.data(), length)) {
            ReportDebug(ctx, "Failed to send command data");
            return ERR_PROTOCOL;
        }
        if (!WriteLe32(ctx, Crc32(payload))) {
            ReportDebug(ctx, "Failed to send crc");
            return ERR_PROTOCOL;
        }
    }
    StoreFourCC(PC_EOM, code);
    if (!WriteAll(ctx, code, 4)) {
        ReportDebug(ctx, "Failed to send EOM");
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

}  // namespace

uint32_t BLWaitFor4CC(JobState& ctx, uint32_t command, std::span<const uint8_t> payload,
                      uint32_t minReply, uint32_t maxReply, std::span<uint8_t> reply,
                      uint32_t timeoutMs, uint32_t* replyLength) {
    if (maxReply == 0) maxReply = minReply;
    if (replyLength != nullptr) *replyLength = 0;
    // A caller's buffer too small for the longest accepted reply, or a payload
    // whose length does not fit the frame, is a fault of the caller.
    if (reply.size() < maxReply || minReply > maxReply || payload.size() > 0xFFFFFFFFu) {
        ReportDebug(ctx, "BLWaitFor4CC(%c%c%c%c): bad parameters", FourCCChar(command, 0),
                    FourCCChar(command, 1), FourCCChar(command, 2), FourCCChar(command, 3));
        return ERR_BAD_PARAMS;
    }

    if (uint32_t rc = SendCommandFrame(ctx, command, payload); rc != SUCCESS) return rc;

    if (uint32_t rc = ScanFor4CC(ctx, BL_RESP, timeoutMs); rc != SUCCESS) {
        ReportWaitFailed(ctx, BL_RESP, rc);
        return rc;
    }
    if (uint32_t rc = ScanFor4CC(ctx, command, timeoutMs); rc != SUCCESS) {
        ReportWaitFailed(ctx, command, rc);
        return rc;
    }
    const uint32_t statuses[2] = {BL_OK, BL_NACK};
    uint32_t status = 0;
    if (uint32_t rc = ScanFor4CCs(ctx, statuses, timeoutMs, status); rc != SUCCESS) {
        ReportDebug(ctx, "BLWaitFor4CCs failed: %u", rc);
        return rc;
    }

    if (status == BL_OK) {
        uint8_t field[4];
        if (!ReadExactly(ctx, field, 4)) return ERR_PROTOCOL;
        const uint32_t length = LoadLe32(field);
        if (length < minReply || length > maxReply) {
            ReportDebug(ctx, "msg size out of range: %lu (%lu-%lu)", static_cast<unsigned long>(length),
                        static_cast<unsigned long>(minReply), static_cast<unsigned long>(maxReply));
            return ERR_PROTOCOL;
        }
        if (length > 0) {
            if (!ReadExactly(ctx, reply.data(), length)) return ERR_PROTOCOL;
            if (!ReadExactly(ctx, field, 4)) return ERR_PROTOCOL;
            if (LoadLe32(field) != Crc32(reply.first(length))) return ERR_CRC;
        }
        if (replyLength != nullptr) *replyLength = length;
    }

    uint8_t end[4];
    if (!ReadExactly(ctx, end, 4) || LoadLe32(end) != BL_EOM) return ERR_PROTOCOL;
    return status == BL_OK ? SUCCESS : ERR_CMD_FAILED;
}

}  // namespace flashwire
