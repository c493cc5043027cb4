#include "boot/setup_loader.h"

#include "boot/load_loader_image.h"
#include "boot/loader_info.h"
#include "boot/wake_boot_loader.h"
#include "session/reporting.h"

namespace flashwire {
namespace {

// A maximum transfer size at or below this leaves no room for data.
constexpr uint32_t kFramingAllowance = 256;

}  // namespace

uint32_t TalkToSetupLoader(JobState& ctx) {
    ReportDebug(ctx, "Talking to setup loader");
    if (uint32_t rc = WakeBootLoader(ctx); rc != SUCCESS) return rc;
    LoaderInfo info;
    if (uint32_t rc = RequestLoaderInfo(ctx, info); rc != SUCCESS) return rc;

    ReportDebug(ctx, "Setup loader V%u.%u using UART%u", info.MajorVersion(), info.MinorVersion(),
                info.UartNumber());
    ReportDebug(ctx, "Setup loader type: %u", info.SetupLoaderType());
    ReportDebug(ctx, "Max. transfer size: %lu bytes", static_cast<unsigned long>(info.MaxTransferSize()));
    const uint32_t adjusted = info.AdjustedTransferSize();
    ReportDebug(ctx, "Adjusted max. transfer size to: %lu bytes", static_cast<unsigned long>(adjusted));

    // Any type is taken; a size that leaves no room for data (adjusted 0, or
    // wrapped below 256) is not.
    if (info.MaxTransferSize() <= kFramingAllowance) {
        ReportDebug(ctx, "Unknown HW platform or corrupted bootloader signature");
        return ERR_UNKOWN_HW;
    }
    uint32_t chunk = adjusted;
    if (chunk > kMaxDataChunk) {
        chunk = kMaxDataChunk;
        ReportDebug(ctx, "Chunk size limited to %lu bytes", static_cast<unsigned long>(chunk));
    }
    return LoadLoaderImage(ctx, ctx.flashLoaderList(), ctx.platform.flashLoaderBase, chunk, "RAM");
}

}  // namespace flashwire
