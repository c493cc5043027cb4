// The dispatcher thread: delivers the message ring to the host and polls for
// an abort request.
#include "job/dispatcher.h"

#include "session/reporting.h"

namespace flashwire {
namespace {

bool Abandoned(const FlashContext& ctx) { return ctx.dispatcherAbandoned.load(std::memory_order_acquire); }

// Delivers every stored record; false once the dispatcher was given up.
bool DeliverAll(FlashContext& ctx) {
    for (;;) {
        if (Abandoned(ctx)) return false;
        if (!DeliverOneRecord(ctx)) return true;
    }
}

}  // namespace

uint32_t RunDispatcher(FlashContext& ctx) {
    ReportDebug(ctx, "ThreadGUI started");
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
    ReportDebug(ctx, "ThreadGUI finished");
    return 0;
}

}  // namespace flashwire
