#include "boot/pc_sync.h"

#include "boot/boot_tokens.h"
#include "session/reporting.h"
#include "serial/com_port.h"
#include "wire/four_cc.h"
#include "wire/code_scanner.h"

namespace flashwire {
namespace {

constexpr uint32_t kSyncAnswerTimeoutMs = 5000;

}  // namespace

uint32_t SendPcSync(JobState& ctx) {
    uint8_t sync[4];
    StoreFourCC(PC_SYNC, sync);
    for (;;) {
        uint32_t sent = 0;
        if (!ComWrite(ctx, ctx.activePort, sync, 4, sent) || sent != 4) {
            ReportDebug(ctx, "Failed to send PC_SYNC");
            return ERR_PROTOCOL;
        }
        // Unbounded by design: only the phone's answer or the host's abort
        // (seen by the scanner within its 5 ms read time-out) ends it.
        const uint32_t rc = ScanFor4CC(ctx, BL_SYNC_ACK, kSyncAnswerTimeoutMs);
        if (rc == SUCCESS) {
            ReportDebug(ctx, "sync'ed");
            return SUCCESS;
        }
        if (rc == ERR_ABORT) return ERR_ABORT;
    }
}

}  // namespace flashwire
