#include "loader/command_exchange.h"

#include <algorithm>
#include <array>

#include "wire/crc32.h"
#include "wire/code_scanner.h"
#include "session/reporting.h"
#include "loader/fl_records.h"
#include "loader/fl_tokens.h"
#include "loader/port_io.h"
#include "loader/txdt_streams.h"

namespace flashwire {
namespace {

// Restores the command port's read time-out when the exchange ends.
class ScopedReadTimeout {
public:
    ScopedReadTimeout(JobState& ctx, uint32_t port, uint32_t timeoutMs)
        : ctx_(ctx), port_(port), previous_(ComSetTimeout(ctx, port, timeoutMs)) {}
    ~ScopedReadTimeout() { ComSetTimeout(ctx_, port_, previous_); }
    ScopedReadTimeout(const ScopedReadTimeout&) = delete;
    ScopedReadTimeout& operator=(const ScopedReadTimeout&) = delete;

private:
    JobState& ctx_;
    uint32_t port_;
    uint32_t previous_;
};

uint32_t SendFrame(JobState& ctx, uint32_t command, std::span<const uint8_t> payload) {
    const uint32_t port = ctx.activePort;
    const auto length = static_cast<uint32_t>(payload.size());
    uint8_t code[4];
    StoreFourCC(command, code);
    if (!WriteAll(ctx, port, code, 4)) {
        ReportDebug(ctx, "Failed to send %c%c%c%c", FourCCChar(command, 0), FourCCChar(command, 1),
                    FourCCChar(command, 2), FourCCChar(command, 3));
        return ERR_PROTOCOL;
    }
    if (!WriteLe32(ctx, port, length)) {
        ReportDebug(ctx, "Failed to send data size");
        return ERR_PROTOCOL;
    }
    if (length > 0) {
        if (!WriteAll(ctx, port, payload.data(), length)) {
            ReportDebug(ctx, "Failed to send command data");
            return ERR_PROTOCOL;
        }
        if (!WriteLe32(ctx, port, Crc32(payload))) {
            ReportDebug(ctx, "Failed to send CRC");
            return ERR_PROTOCOL;
        }
    }
    StoreFourCC(FL_EOT, code);
    if (!WriteAll(ctx, port, code, 4)) {
        ReportDebug(ctx, "Failed to send EOT");
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

// Waits for "rply", handling any text messages and dumps before it.
uint32_t WaitForReplyStart(JobState& ctx, uint32_t timeoutMs) {
    static constexpr std::array<uint32_t, 3> kStarts = {FL_REPLY, FL_MSG, FL_DUMP};
    for (;;) {
        uint32_t found = 0;
        const uint32_t rc = ScanFor4CCs(ctx, kStarts, timeoutMs, found);
        if (rc != SUCCESS) {
            ReportDebug(ctx, "WaitFor4CCs failed: %u", rc);
            return rc;
        }
        if (found == FL_REPLY) return SUCCESS;
        // Each record restarts the wait, so the loader may report while it works.
        const uint32_t handled = found == FL_MSG ? FLHandleMsg(ctx) : FLHandleDump(ctx);
        if (handled != SUCCESS) return handled;
    }
}

}  // namespace

uint32_t ExchangeCommand(JobState& ctx, uint32_t command, std::span<const uint8_t> payload,
                    uint32_t expectedReply, std::span<uint8_t> reply, uint32_t timeoutMs) {
    if (reply.size() < std::max(expectedReply, kErrorRecordSize) || payload.size() > 0xFFFFFFFFu ||
        ctx.activePort >= std::size(ctx.ports)) {
        ReportDebug(ctx, "WaitFor4CC(%c%c%c%c): bad parameters", FourCCChar(command, 0), FourCCChar(command, 1),
                    FourCCChar(command, 2), FourCCChar(command, 3));
        return ERR_BAD_PARAMS;
    }
    const uint32_t port = ctx.activePort;
    ScopedReadTimeout timeout(ctx, port, timeoutMs);

    // A "TXDT" whose streams cannot be sent must not go out: the phone would
    // wait for them.
    TxdtStreams streams;
    if (command == FL_CMD_TXDT && !PlanTxdtStreams(ctx, payload, streams)) {
        ReportDebug(ctx, "Bad stream table");
        return ERR_PROTOCOL;
    }
    if (uint32_t rc = SendFrame(ctx, command, payload); rc != SUCCESS) return rc;
    if (command == FL_CMD_TXDT) SendTxdtStreams(ctx, streams);

    if (uint32_t rc = WaitForReplyStart(ctx, timeoutMs); rc != SUCCESS) return rc;
    if (uint32_t rc = ScanFor4CC(ctx, command, timeoutMs); rc != SUCCESS) {
        ReportDebug(ctx, "WaitFor4CC(%c%c%c%c) failed: %u", FourCCChar(command, 0), FourCCChar(command, 1),
                    FourCCChar(command, 2), FourCCChar(command, 3), rc);
        return rc;
    }
    static constexpr std::array<uint32_t, 2> kStatuses = {FL_OK, FL_ERR};
    uint32_t status = 0;
    if (uint32_t rc = ScanFor4CCs(ctx, kStatuses, timeoutMs, status); rc != SUCCESS) {
        ReportDebug(ctx, "WaitFor4CCs failed: %u", rc);
        return rc;
    }

    const uint32_t expected = status == FL_ERR ? kErrorRecordSize : expectedReply;
    uint32_t length = 0;
    if (!ReadLe32(ctx, port, length)) return ERR_PROTOCOL;
    if (length != expected) {
        ReportDebug(ctx, "Msg size mismatch: %lu != %lu", static_cast<unsigned long>(expected),
                    static_cast<unsigned long>(length));
        return ERR_PROTOCOL;
    }
    if (length > 0) {
        uint32_t crc = 0;
        if (!ReadExactly(ctx, port, reply.data(), length) || !ReadLe32(ctx, port, crc)) return ERR_PROTOCOL;
        const uint32_t computed = Crc32(reply.first(length));
        if (computed != crc) {
            ReportDebug(ctx, "CRC mismatch: PC 0x%08lx != Mobile 0x%08lx", static_cast<unsigned long>(computed),
                        static_cast<unsigned long>(crc));
            return ERR_CRC;
        }
    }
    if (status == FL_ERR) {
        uint32_t v[5];
        for (int i = 0; i < 5; ++i) v[i] = LoadLe32(reply.data() + 4 * i);
        ReportDebug(ctx, "Cmd %c%c%c%c FAILED: Err:%lu, %lu=0x%lx, %lu=0x%lx, %lu=0x%lx, %lu=0x%lx",
                    FourCCChar(command, 0), FourCCChar(command, 1), FourCCChar(command, 2), FourCCChar(command, 3),
                    static_cast<unsigned long>(v[0]), static_cast<unsigned long>(v[1]),
                    static_cast<unsigned long>(v[1]), static_cast<unsigned long>(v[2]),
                    static_cast<unsigned long>(v[2]), static_cast<unsigned long>(v[3]),
                    static_cast<unsigned long>(v[3]), static_cast<unsigned long>(v[4]),
                    static_cast<unsigned long>(v[4]));
    }
    uint32_t end = 0;
    if (!ReadLe32(ctx, port, end) || end != FL_EOM) return ERR_PROTOCOL;
    return status == FL_OK ? SUCCESS : ERR_CMD_FAILED;
}

uint32_t SendLoaderCommand(JobState& ctx, uint32_t command, std::span<const uint8_t> payload,
                           uint32_t timeoutMs) {
    std::array<uint8_t, kErrorRecordSize> record{};
    return ExchangeCommand(ctx, command, payload, 0, record, timeoutMs);
}

}  // namespace flashwire
