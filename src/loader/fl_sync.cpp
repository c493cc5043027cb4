#include "loader/fl_sync.h"

#include "wire/code_scanner.h"
#include "session/reporting.h"
#include "loader/fl_tokens.h"
#include "loader/port_io.h"

namespace flashwire {

uint32_t FLSync(JobState& ctx) {
    uint8_t sync[4];
    StoreFourCC(FL_CMD_SYNC, sync);
    for (uint32_t attempt = 0; attempt < kSyncAttempts; ++attempt) {
        if (!WriteAll(ctx, ctx.activePort, sync, 4)) {
            ReportDebug(ctx, "Failed to send FL_CMD_SYNC");
            return ERR_PROTOCOL;
        }
        const uint32_t rc = ScanFor4CC(ctx, FL_SYNC_ACK, kSyncWaitMs);
        if (rc == SUCCESS || rc == ERR_ABORT) return rc;
    }
    return ERR_PROTOCOL;
}

}  // namespace flashwire
