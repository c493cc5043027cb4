// Message lines, debug lines, status texts and the abort flag: straight to the
// host's callbacks outside a job, through the message ring while one runs.
#include "session/reporting.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace flashwire {
namespace {

bool Queued(const Session& ctx) { return ctx.queueMode.load(std::memory_order_acquire); }

bool DebugOn(const Session& ctx) { return ctx.debug; }

// Formats into line (kMaxLineLength characters at most, always terminated).
void FormatLine(char (&line)[kMaxLineLength + 1], const char* format, va_list args) {
    line[0] = 0;
    if (!format) return;
    if (std::vsnprintf(line, sizeof(line), format, args) < 0) line[0] = 0;
}

// Copies text cut at kMaxLineLength characters.
void CutLine(char (&line)[kMaxLineLength + 1], const char* text) {
    const std::size_t n = text ? strnlen(text, kMaxLineLength) : 0;
    if (n) std::memcpy(line, text, n);
    line[n] = 0;
}

void SendLine(Session& ctx, int level, const char* line) {
    if (Queued(ctx)) {
        EnqueueRecord(ctx, RecordKind::Message, static_cast<uint32_t>(level), 0, line);
        return;
    }
    FlashHandle* handle = ctx.handle;
    if (handle && handle->message) handle->message(handle, level, line);
}

}  // namespace

void ReportMessage(Session& ctx, int level, const char* format, ...) {
    char line[kMaxLineLength + 1];
    va_list args;
    va_start(args, format);
    FormatLine(line, format, args);
    va_end(args);
    SendLine(ctx, level, line);
}

void ReportDebug(Session& ctx, const char* format, ...) {
    if (!DebugOn(ctx)) return;
    char line[kMaxLineLength + 1];
    va_list args;
    va_start(args, format);
    FormatLine(line, format, args);
    va_end(args);
    SendLine(ctx, 0, line);
}

void ReportText(Session& ctx, int level, const char* text) {
    char line[kMaxLineLength + 1];
    CutLine(line, text);
    SendLine(ctx, level, line);
}

void ReportDebugText(Session& ctx, const char* text) {
    if (DebugOn(ctx)) ReportText(ctx, 0, text);
}

void ReportStatus(Session& ctx, const char* text) {
    char line[kMaxLineLength + 1];
    CutLine(line, text);
    if (Queued(ctx)) {
        EnqueueRecord(ctx, RecordKind::Status, 0, 0, line);
        return;
    }
    FlashHandle* handle = ctx.handle;
    if (handle && handle->status) handle->status(handle, line);
}

bool IsAbortRequested(Session& ctx) { return ctx.abortRequested.load(std::memory_order_acquire); }

}  // namespace flashwire
