#include "flashops/jobs.h"
#include "state/job_state.h"

#include <algorithm>

#include "platform/invariant.h"

namespace flashwire {
namespace {

uint32_t CommandPortBaud(const JobState& ctx) {
    return ctx.activePort < std::size(ctx.ports) ? ctx.ports[ctx.activePort].currentBaud : 0;
}

// A loader limit of 0 tells nothing; it must not make a block empty.
uint32_t Limited(uint32_t size, uint32_t limit) {
    const uint32_t block = limit != 0 ? std::min(size, limit) : size;
    // Within the loader's limit, never empty.
    FLASHWIRE_ASSERT(block > 0 && (limit == 0 || block <= limit));
    return block;
}

}  // namespace

uint32_t WriteBlockSize(const JobState& ctx) {
    return Limited(CommandPortBaud(ctx) > 115200 ? 0x10000u : 0x4000u, ctx.deviceInfo.maxTxSize);
}

uint32_t ReadBlockSize(const JobState& ctx) {
    return Limited(CommandPortBaud(ctx) > 115200 ? 0x2000u : 0x1000u, ctx.deviceInfo.maxRxSize);
}

}  // namespace flashwire
