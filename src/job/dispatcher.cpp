// The dispatcher thread: delivers the message ring to the host and polls for
// an abort request.
#include "job/dispatcher.h"

#include "session/reporting.h"

namespace flashwire {
namespace {

bool Abandoned(const FlashContext& ctx) { return ctx.dispatcherAbandoned.load(std::memory_order_acquire); }

// The dispatcher's own debug lines go straight to the host: it is the thread
// that calls the host, so nothing is out of turn, and it never waits on the
// ring (a full ring waits for the dispatcher itself, holding the producers'
// lock).
void ReportOwnLine(FlashContext& ctx, const char* text) {
    if (!ctx.debug) return;
    FlashHandle* handle = ctx.handle;
    if (handle && handle->message) handle->message(handle, 0, text);
}

// Delivers every stored record; false once the dispatcher was given up.
bool DeliverAll(FlashContext& ctx) {
    for (;;) {
        if (Abandoned(ctx)) return false;
        if (!DeliverOneRecord(ctx)) return true;
    }
}

}  // namespace

uint32_t RunDispatcher(FlashContext& ctx) {
    ReportOwnLine(ctx, "ThreadGUI started");
    uint32_t lastPoll = 0;
    for (;;) {
        ctx.dataEvent->Wait(kDispatcherWaitMs);
        if (!DeliverAll(ctx)) return kForcedExitCode;
        ctx.drainedEvent->Set();
        if (!ctx.queueMode.load(std::memory_order_acquire)) {
            // A record stored after the round above but before queueMode was
            // cleared is delivered here: the last store precedes the clear.
            if (!DeliverAll(ctx)) return kForcedExitCode;
            ctx.drainedEvent->Set();
            break;
        }
        if (ctx.abortRequested.load(std::memory_order_acquire)) continue;
        const uint32_t now = ctx.services.clock ? ctx.services.clock->Ticks() : 0;
        if (now - lastPoll <= kAbortPollIntervalMs) continue;
        lastPoll = now;
        FlashHandle* handle = ctx.handle;
        const FlashAbortPollFn poll = handle ? handle->abortPoll : nullptr;
        if (!poll) continue;
        if (Abandoned(ctx)) return kForcedExitCode;
        const bool abort = poll(handle) != 0;
        if (Abandoned(ctx)) return kForcedExitCode;
        if (abort) ctx.abortRequested.store(true, std::memory_order_release);
    }
    if (Abandoned(ctx)) return kForcedExitCode;
    ReportOwnLine(ctx, "ThreadGUI finished");
    return 0;
}

}  // namespace flashwire
