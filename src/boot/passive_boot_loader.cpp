#include "boot/passive_boot_loader.h"

#include "boot/load_loader_image.h"
#include "boot/wake_boot_loader.h"
#include "session/reporting.h"

namespace flashwire {
namespace {

constexpr uint32_t kLargestChunk = 4096;
// A maximum transfer size at or below this leaves no room for data.
constexpr uint32_t kFramingAllowance = 256;

char MaskIdChar(uint32_t mask, int shift) {
    const uint32_t c = (mask >> shift) & 0xFFu;
    return c < 0x20 || c > 0x80 ? ' ' : static_cast<char>(c);
}

void ReportDescription(JobState& ctx, const LoaderInfo& info) {
    ReportDebug(ctx, "Bootloader V%u.%u using UART%u", info.MajorVersion(), info.MinorVersion(),
                info.UartNumber());
    const uint32_t mask = info.RomMaskId();
    const char maskText[5] = {MaskIdChar(mask, 24), MaskIdChar(mask, 16), MaskIdChar(mask, 8),
                              MaskIdChar(mask, 0), '\0'};
    ReportDebug(ctx, "ROM mask ID: 0x%08lx (%s)", static_cast<unsigned long>(mask), maskText);
    const uint32_t interfaceType = ctx.platform.memoryInterfaceType;
    if (info.HasIdRegister()) {
        const uint32_t id = info.IdRegister();
        if (interfaceType == 0) {
            ReportDebug(ctx, "ID register: 0x%08lx (Quorvel %s)", static_cast<unsigned long>(id),
                        (id & 0x100u) ? "II" : "I");
        } else if (interfaceType == 1) {
            static constexpr const char* kSteps[4] = {"ES1", "ES1A", "ES2", "SC4 ROM"};
            ReportDebug(ctx, "ID register: 0x%08lx (%s)", static_cast<unsigned long>(id),
                        kSteps[(id >> 16) & 3u]);
        }
    }
    ReportDebug(ctx, "Bootloader type: %u (%u)", info.BootLoaderType(), info.Flag());
    ReportDebug(ctx, "Max. transfer size: %lu bytes", static_cast<unsigned long>(info.MaxTransferSize()));
    ReportDebug(ctx, "Adjusted max. transfer size to: %lu bytes",
                static_cast<unsigned long>(info.AdjustedTransferSize()));
}

}  // namespace

bool AcceptBootLoader(uint32_t memoryInterfaceType, const LoaderInfo& info, bool& setupLoaderNeeded) {
    const uint32_t type = info.BootLoaderType();
    const uint32_t adjusted = info.AdjustedTransferSize();
    bool acceptable = false;
    if (memoryInterfaceType == 0) {
        if (type >= 1 && type <= 3) {
            setupLoaderNeeded = false;
            acceptable = info.MajorVersion() >= 2;
        } else if (type == 5) {
            setupLoaderNeeded = true;
            acceptable = true;
        }
        if (adjusted > kLargestChunk) acceptable = false;
    } else if (memoryInterfaceType == 1) {
        setupLoaderNeeded = true;
        acceptable = type == 4 && adjusted <= kLargestChunk;
    }
    // 256 bytes or less (adjusted size 0, or wrapped) leave nothing to send.
    if (info.MaxTransferSize() <= kFramingAllowance) acceptable = false;
    return acceptable;
}

uint32_t BootLoaderChunkSize(uint32_t adjustedTransferSize) {
    for (uint32_t chunk = kLargestChunk; chunk > 0; chunk /= 2) {
        if (chunk <= adjustedTransferSize) return chunk;
    }
    return 0;
}

uint32_t TalkToPassiveBootloader(JobState& ctx) {
    ReportDebug(ctx, "Talking to passive bootloader");
    if (uint32_t rc = WakeBootLoader(ctx); rc != SUCCESS) return rc;
    LoaderInfo info;
    if (uint32_t rc = RequestLoaderInfo(ctx, info); rc != SUCCESS) return rc;
    ReportDescription(ctx, info);

    bool needed = false;
    const bool acceptable = AcceptBootLoader(ctx.platform.memoryInterfaceType, info, needed);
    ctx.platform.setupLoaderNeeded = needed;
    if (!acceptable) {
        ReportDebug(ctx, "Unknown HW platform or corrupted bootloader signature");
        return ERR_UNKOWN_HW;
    }
    if (ctx.platform.setupLoaderIgnored) ctx.platform.setupLoaderNeeded = false;

    const bool setup = ctx.platform.setupLoaderNeeded;
    const RegionList& list = setup ? ctx.setupLoaderList() : ctx.flashLoaderList();
    const uint32_t base = setup ? ctx.platform.setupLoaderBase : ctx.platform.flashLoaderBase;
    const uint32_t chunk = BootLoaderChunkSize(info.AdjustedTransferSize());
    return LoadLoaderImage(ctx, list, base, chunk, setup ? "setup loader" : "flash loader");
}

}  // namespace flashwire
