#include "loader/fl_records.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "session/error_codes.h"
#include "wire/crc32.h"
#include "session/reporting.h"
#include "loader/fl_tokens.h"
#include "loader/port_io.h"

namespace flashwire {
namespace {

constexpr uint32_t kDumpLineBytes = 16;

// Reads and discards count bytes in pieces.
bool Discard(JobState& ctx, uint32_t port, uint32_t count) {
    std::array<uint8_t, 256> sink{};
    while (count > 0) {
        const uint32_t n = std::min<uint32_t>(count, sink.size());
        if (!ReadExactly(ctx, port, sink.data(), n)) return false;
        count -= n;
    }
    return true;
}

// Reads a record body of length bytes into buffer (or drops it when it is
// longer than the buffer), then its CRC and end marker. kept is the number of
// bytes now in buffer (0 when dropped).
uint32_t ReadRecordBody(JobState& ctx, std::span<uint8_t> buffer, uint32_t length, uint32_t endMarker,
                        const char* what, uint32_t& kept) {
    const uint32_t port = ctx.activePort;
    kept = 0;
    if (length > kMaxDroppedRecord) {
        ReportDebug(ctx, "%s of %lu bytes refused", what, static_cast<unsigned long>(length));
        return ERR_PROTOCOL;
    }
    uint32_t crc = 0;
    if (length <= buffer.size()) {
        if (!ReadExactly(ctx, port, buffer.data(), length) || !ReadLe32(ctx, port, crc)) return ERR_PROTOCOL;
        if (crc != Crc32(buffer.first(length))) return ERR_CRC;
        kept = length;
    } else {
        // Too long for the host's buffer: read past it so the exchange stays in step.
        ReportDebug(ctx, "%s of %lu bytes dropped (buffer holds %lu)", what, static_cast<unsigned long>(length),
                    static_cast<unsigned long>(buffer.size()));
        if (!Discard(ctx, port, length) || !ReadLe32(ctx, port, crc)) return ERR_PROTOCOL;
    }
    uint32_t end = 0;
    if (!ReadLe32(ctx, port, end) || end != endMarker) return ERR_PROTOCOL;
    return SUCCESS;
}

}  // namespace

uint32_t FLHandleMsg(JobState& ctx) {
    // One byte more than the buffer, so a text without NUL can be ended.
    std::array<uint8_t, kMessageBufferSize + 1> text{};
    uint32_t length = 0;
    uint32_t kept = 0;
    uint32_t result = ReadLe32(ctx, ctx.activePort, length) ? SUCCESS : ERR_PROTOCOL;
    if (result == SUCCESS)
        result = ReadRecordBody(ctx, std::span(text).first(kMessageBufferSize), length, FL_MSG_END, "MSG", kept);
    if (result != SUCCESS) {
        ReportDebug(ctx, "FLHandleMsg: %s (%u)", ErrorName(result, nullptr), result);
        return result;
    }
    if (kept == length) {  // not dropped
        text[kept] = 0;  // the loader should end its text itself; a missing NUL is supplied
        ReportDebug(ctx, "MSG: %s", reinterpret_cast<const char*>(text.data()));
    }
    return SUCCESS;
}

uint32_t FLHandleDump(JobState& ctx) {
    std::array<uint8_t, kDumpBufferSize> bytes{};
    uint32_t first = 0;
    uint32_t last = 0;
    uint32_t length = 0;
    uint32_t kept = 0;
    const uint32_t port = ctx.activePort;
    uint32_t result = ReadLe32(ctx, port, first) && ReadLe32(ctx, port, last) && ReadLe32(ctx, port, length)
                          ? SUCCESS
                          : ERR_PROTOCOL;
    if (result == SUCCESS) result = ReadRecordBody(ctx, bytes, length, FL_DUMP_END, "DUMP", kept);
    if (result != SUCCESS) {
        ReportDebug(ctx, "FLHandleDump: %s (%u)", ErrorName(result, nullptr), result);
        return result;
    }
    ReportDebug(ctx, "DUMP: 0x%08lx-0x%08lx", static_cast<unsigned long>(first), static_cast<unsigned long>(last));
    ReportDumpLines(ctx, std::span<const uint8_t>(bytes).first(kept));
    return SUCCESS;
}

void ReportDumpLines(JobState& ctx, std::span<const uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t at = 0; at < bytes.size(); at += kDumpLineBytes) {
        const auto line = bytes.subspan(at, std::min<std::size_t>(kDumpLineBytes, bytes.size() - at));
        // 16 x "HH " + ' ' + '"' + 16 characters + '"' + NUL
        char text[kDumpLineBytes * 3 + 2 + kDumpLineBytes + 2]{};
        std::size_t n = 0;
        for (uint8_t b : line) {
            text[n++] = kHex[b >> 4];
            text[n++] = kHex[b & 0x0F];
            text[n++] = ' ';
        }
        text[n++] = ' ';
        text[n++] = '"';
        for (uint8_t b : line) text[n++] = b == 0 ? ' ' : static_cast<char>(b);
        text[n++] = '"';
        text[n] = 0;
        ReportDebugText(ctx, text);
    }
}

}  // namespace flashwire
