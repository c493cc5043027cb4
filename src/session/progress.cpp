// Progress phases: begin, update (throttled), advance and end.
#include <atomic>
#include <cstring>

#include "session/reporting.h"

namespace flashwire {
namespace {

// The tick of the last delivered progress update, once for the whole library.
std::atomic<uint32_t> g_lastProgressTick{0};

constexpr uint32_t kRepeatIntervalMs = 1000;

bool Queued(const Session& ctx) { return ctx.queueMode.load(std::memory_order_acquire); }

uint32_t Ticks(Session& ctx) { return ctx.services.clock ? ctx.services.clock->Ticks() : 0; }

}  // namespace

void ProgressBegin(Session& ctx, const char* text, uint32_t total) {
    if (total == 0) total = 1;
    ctx.progressTotal = total;
    ctx.progressDone = 0;
    ctx.progressPercent = 0;
    char line[kMaxLineLength + 1];
    const std::size_t n = text ? strnlen(text, kMaxLineLength) : 0;
    if (n) std::memcpy(line, text, n);
    line[n] = 0;
    if (Queued(ctx)) {
        EnqueueRecord(ctx, RecordKind::ProgressBegin, total, 0, line);
        return;
    }
    FlashHandle* handle = ctx.handle;
    if (handle && handle->progressBegin) handle->progressBegin(handle, line, total);
}

void ProgressUpdate(Session& ctx, uint32_t done) {
    const uint32_t now = Ticks(ctx);
    if (ctx.progressTotal == 0) ctx.progressTotal = 1;
    if (done > ctx.progressTotal) done = ctx.progressTotal;
    ctx.progressDone = done;
    const auto percent = static_cast<uint32_t>(done * 100.0 / ctx.progressTotal);
    if (percent == ctx.progressPercent &&
        now - g_lastProgressTick.load(std::memory_order_relaxed) < kRepeatIntervalMs)
        return;
    ctx.progressPercent = percent;
    g_lastProgressTick.store(now, std::memory_order_relaxed);
    if (Queued(ctx)) {
        EnqueueRecord(ctx, RecordKind::ProgressUpdate, done, percent, nullptr);
        return;
    }
    FlashHandle* handle = ctx.handle;
    if (handle && handle->progressUpdate) handle->progressUpdate(handle, done, percent);
}

void ProgressAdvance(Session& ctx, uint32_t n) {
    const uint32_t done = ctx.progressDone;
    // Saturate: the update clamps to the total anyway.
    ProgressUpdate(ctx, n > UINT32_MAX - done ? UINT32_MAX : done + n);
}

void ProgressEnd(Session& ctx) {
    if (Queued(ctx)) {
        EnqueueRecord(ctx, RecordKind::ProgressEnd, 0, 0, nullptr);
        return;
    }
    FlashHandle* handle = ctx.handle;
    if (handle && handle->progressEnd) handle->progressEnd(handle);
}

}  // namespace flashwire
