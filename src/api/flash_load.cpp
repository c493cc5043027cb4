// FlashLoad: checks and copies the job's options and runs the job on the
// worker threads (job/thread_protocol.h). No exception leaves it.
#include <cstring>
#include <memory>
#include <mutex>

#include "api/options.h"
#include "flashwire/flash_api.h"
#include "job/lifecycle.h"
#include "job/thread_protocol.h"

namespace flashwire {
namespace {

// Marks the context's job as running for one scope.
class RunningJob {
public:
    explicit RunningJob(FlashContext& ctx) : ctx_(ctx) {
        // Ordered with a change of the data directory (SetDataDirectory).
        std::lock_guard lock(ctx_.jobStartMutex);
        bool idle = false;
        owns_ = ctx_.jobRunning.compare_exchange_strong(idle, true, std::memory_order_acq_rel);
    }
    ~RunningJob() {
        if (owns_) ctx_.jobRunning.store(false, std::memory_order_release);
    }
    RunningJob(const RunningJob&) = delete;
    RunningJob& operator=(const RunningJob&) = delete;
    // False when another job already runs on the context.
    bool owns() const { return owns_; }

private:
    FlashContext& ctx_;
    bool owns_ = false;
};

}  // namespace
}  // namespace flashwire

using namespace flashwire;

extern "C" FLASHWIRE_EXPORT uint32_t FlashLoad(FlashHandle* handle, FlashOptions* options) {
    try {
        // The share keeps the context alive for the whole job, even if a
        // callback unbinds the handle meanwhile.
        const std::shared_ptr<flashwire::FlashContext> ctx = BoundContext(handle);
        if (!ctx || !options) return ERR_BAD_PARAMS;
        // Checked on a copy, so what is checked is what runs.
        FlashOptions job;
        std::memcpy(&job, options, sizeof job);
        if (CheckOptions(job) != SUCCESS) return ERR_BAD_PARAMS;
        // A job started from a callback of a running one (or from a second
        // host thread) would pull the running job's state from under it.
        flashwire::RunningJob running(*ctx);
        if (!running.owns()) return ERR_SETUP;
        ctx->plan = MakeJobPlan(job);
        ctx->debug = ctx->plan.debug;
        return ThreadProtocol(*ctx);
    } catch (...) {
        return ERR_SETUP;
    }
}
