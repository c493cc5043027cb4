// Job start: resetting the job state, starting the protocol thread and the
// dispatcher, waiting for the job and shutting the threads down.
#include "job/thread_protocol.h"

#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "image/region_list.h"
#include "job/lifecycle.h"
#include "session/reporting.h"
#include "job/job_driver.h"
#include "job/dispatcher.h"
#include "serial/com_port.h"

namespace flashwire {
namespace {

// Starts body on a new thread; null when the thread (or its record) cannot be made.
std::unique_ptr<platform::Thread> Start(platform::Threading& threading, std::size_t stack,
                                        std::function<uint32_t()>&& body) {
    try {
        return threading.StartThread(stack, std::move(body));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

uint32_t ProtocolThread(FlashContext& ctx) {
    ReportDebug(ctx, "ThreadProtocol started");
    const uint32_t result = DriveJob(ctx);
    ReportDebug(ctx, "ThreadProtocol finished");
    return result;
}

// Starts the dispatcher and the protocol thread; false when either (or one
// of the two events) could not be created. What was created stays in ctx.
bool StartThreads(FlashContext& ctx) {
    platform::Threading* threading = ctx.services.threading;
    if (!threading) return false;
    ctx.dataEvent = threading->CreateEvent(false, false);
    if (!ctx.dataEvent) return false;
    ctx.drainedEvent = threading->CreateEvent(true, false);
    if (!ctx.drainedEvent) return false;
    FlashContext* raw = &ctx;
    try {
        // The dispatcher holds a share of the context: given up at the end of
        // the job, it may outlive the handle's binding.
        std::function<uint32_t()> dispatcher = [raw, share = RetainContext(raw)]() mutable {
            const uint32_t code = RunDispatcher(*raw);
            share.reset();  // may release a context that was unbound meanwhile
            return code;
        };
        ctx.dispatcherThread = Start(*threading, kDispatcherThreadStack, std::move(dispatcher));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!ctx.dispatcherThread) return false;
    // Joined before ThreadProtocol returns: the caller keeps the context.
    ctx.protocolThread = Start(*threading, kProtocolThreadStack, [raw] { return ProtocolThread(*raw); });
    return ctx.protocolThread != nullptr;
}

// Clears queueMode and lets the dispatcher deliver the rest and end; gives it
// up when it does not end in time.
void StopDispatcher(FlashContext& ctx) {
    ctx.queueMode.store(false, std::memory_order_release);
    if (!ctx.dispatcherThread) return;
    ctx.dataEvent->Set();  // lasting, so a dispatcher busy delivering sees it too
    if (ctx.dispatcherThread->Join(ctx.dispatcherStopTimeoutMs)) {
        ctx.dispatcherExitCode = ctx.dispatcherThread->ExitCode();
        return;
    }
    ctx.dispatcherAbandoned.store(true, std::memory_order_release);
    ctx.dispatcherExitCode = kForcedExitCode;
}

void CloseThreadsAndEvents(FlashContext& ctx) {
    ctx.protocolThread.reset();
    ctx.dispatcherThread.reset();
    ctx.dataEvent.reset();
    ctx.drainedEvent.reset();
}

}  // namespace

void ResetJobState(FlashContext& ctx) {
    ctx.protocolCause = ERR_UNKNOWN;
    ResetRegionLists(ctx.regionLists);
    ctx.platform.flashDefinitionCount = 0;
    for (FlashDefinition& definition : ctx.platform.flashDefinitions) {
        definition.base = 0;
        definition.size = 0;
    }
    for (PortRecord& port : ctx.ports) {
        port.readTimeout = 0;
        port.nonBlocking = false;
    }
    ctx.priorityStack.Reset();
    ctx.progressTotal = 1;
    ctx.progressDone = 0;
    ctx.progressPercent = 0;
}

uint32_t ThreadProtocol(FlashContext& ctx) {
    if (ctx.dispatcherThread) {
        // The dispatcher given up at the end of the last job.
        if (!ctx.dispatcherThread->Join(0)) return ERR_SETUP;
        CloseThreadsAndEvents(ctx);
    }
    ResetJobState(ctx);
    ctx.ring.Reset();
    ctx.abortRequested.store(false);
    ctx.dispatcherAbandoned.store(false);
    ctx.dispatcherExitCode = 0;
    ctx.queueMode.store(true, std::memory_order_release);

    uint32_t result = ERR_SETUP;
    if (StartThreads(ctx)) {
        ctx.protocolThread->Join(platform::kInfinite);
        result = ctx.protocolThread->ExitCode();
        ReportDebug(ctx, "ThreadProtocol: %u", result);
    }
    StopDispatcher(ctx);
    if (ctx.dispatcherAbandoned.load()) {
        ctx.protocolThread.reset();  // ended; the rest stays for the given-up dispatcher
    } else {
        CloseThreadsAndEvents(ctx);
    }
    ComCloseAll(ctx);  // the job closed them; this only guards its every way out
    FreeRegionBuffers(ctx.regionLists);
    return result;
}

}  // namespace flashwire
