#include "boot/wake_boot_loader.h"

#include "session/scoped_priority.h"
#include "session/reporting.h"
#include "serial/com_port.h"

namespace flashwire {
namespace {

constexpr uint8_t PC_PING = '?';
constexpr uint8_t PING_ANSWER = '!';
constexpr uint8_t PC_INITIAL_SYNC = '#';
constexpr uint32_t kAnswersNeeded = 3;
constexpr uint32_t kPingIntervalMs = 1;
// Governs the fixed-length reads of the framed exchange for the rest of the stage.
constexpr uint32_t kFrameReadTimeoutMs = 250;

// Non-blocking reads for one scope.
class ScopedNonBlocking {
public:
    explicit ScopedNonBlocking(JobState& ctx) : ctx_(ctx), port_(ctx.activePort) {
        ComSetNonBlocking(ctx_, port_, true);
    }
    ~ScopedNonBlocking() { ComSetNonBlocking(ctx_, port_, false); }
    ScopedNonBlocking(const ScopedNonBlocking&) = delete;
    ScopedNonBlocking& operator=(const ScopedNonBlocking&) = delete;

private:
    JobState& ctx_;
    uint32_t port_;
};

uint32_t PingUntilAnswered(JobState& ctx) {
    const uint32_t port = ctx.activePort;
    // Restored in this order on every way out: blocking reads, then priority.
    ScopedThreadPriority priority(ctx, platform::kPriorityTimeCritical);
    ScopedNonBlocking nonBlocking(ctx);
    uint32_t answers = 0;
    for (;;) {
        const uint8_t ping = PC_PING;
        uint32_t sent = 0;
        if (!ComWrite(ctx, port, &ping, 1, sent) || sent != 1) {
            ReportDebug(ctx, "Failed to send PC_PING");
            return ERR_PROTOCOL;
        }
        uint8_t byte = 0;
        uint32_t received = 0;
        if (!ComRead(ctx, port, &byte, 1, received)) {
            ReportDebug(ctx, "ComRead FAILED");
        } else if (received == 1) {
            answers = byte == PING_ANSWER ? answers + 1 : 0;
            if (answers >= kAnswersNeeded) return SUCCESS;
        }
        if (IsAbortRequested(ctx)) return ERR_ABORT;
        ctx.clock().Sleep(kPingIntervalMs);
    }
}

}  // namespace

uint32_t WakeBootLoader(JobState& ctx) {
    if (uint32_t rc = PingUntilAnswered(ctx); rc != SUCCESS) return rc;

    ComSetTimeout(ctx, ctx.activePort, kFrameReadTimeoutMs);
    const uint8_t sync = PC_INITIAL_SYNC;
    uint32_t sent = 0;
    if (!ComWrite(ctx, ctx.activePort, &sync, 1, sent) || sent != 1) {
        ReportDebug(ctx, "Failed to send PC_INITIAL_SYNC");
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

}  // namespace flashwire
