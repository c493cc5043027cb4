#include "job/phase_runner.h"

#include <cstdio>

#include "session/error_codes.h"
#include "boot/talk_to_bootloader.h"
#include "flashops/jobs.h"
#include "session/reporting.h"
#include "loader/talk_to_flashloader.h"

namespace flashwire {

void FormatDuration(uint32_t seconds, char* out, std::size_t size) {
    if (seconds == 0) seconds = 1;
    if (seconds < 60)
        std::snprintf(out, size, "%lus", static_cast<unsigned long>(seconds));
    else if (seconds < 3600)
        std::snprintf(out, size, "%u:%02u", seconds / 60, seconds % 60);
    else
        std::snprintf(out, size, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

uint32_t RunPhase(FlashContext& ctx, const char* fileName, uint32_t mode) {
    uint32_t start = ctx.clock().Ticks();
    ReportDebug(ctx, "SendFile=%s, Mode=%u", fileName != nullptr ? fileName : "", mode);
    uint32_t result = SUCCESS;
    if (mode == kModeLoader) {
        ReportMessage(ctx, 0, "Power on mobile !");
        ProgressBegin(ctx, "Power on mobile !", 1);
        ProgressUpdate(ctx, 0);
        ProgressEnd(ctx);
        FlushToHost(ctx);
        result = TalkToBootloader(ctx);
        if (result == SUCCESS) ReportDebug(ctx, "TalkToBootloader: OK");
    } else {
        result = TalkToFlashloader(ctx);
        if (result == SUCCESS) {
            ReportDebug(ctx, "TalkToFlashloader: OK");
            start = ctx.clock().Ticks();  // the duration covers the job alone
            switch (mode) {
            case kModeFlash: result = RunFlashJob(ctx); break;
            case kModeVerify: result = RunVerifyJob(ctx); break;
            case kModeRead: result = RunReadJob(ctx); break;
            default: result = ERR_BAD_PARAMS; break;
            }
        }
    }
    if (result == SUCCESS) {
        char text[32];
        FormatDuration((ctx.clock().Ticks() - start) / 1000, text, sizeof text);
        ReportDebug(ctx, "Duration: %s", text);
    } else {
        ReportDebug(ctx, "SendFile: %u (%s)", result, ErrorName(result, nullptr));
    }
    return result;
}

}  // namespace flashwire
