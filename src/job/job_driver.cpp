#include "job/job_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "image/address_range.h"
#include "session/error_codes.h"
#include "serial/speed_table.h"
#include "session/scoped_priority.h"
#include "job/phase_runner.h"
#include "image/region_list.h"
#include "image/srec_reader.h"
#include "image/srec_writer.h"
#include "session/reporting.h"
#include "serial/com_port.h"
#include "catalog/platform_definition.h"

namespace flashwire {
namespace {

constexpr uint32_t kOpenReadTimeoutMs = 1000;
constexpr uint32_t kStartBaud = 115200;
constexpr uint32_t kNoProtocolCause = 100;

// A fixed-size text field up to its NUL (or its end).
template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

enum Phases : uint32_t { kPhasesAll = 0, kPhasesBootLoader = 1, kPhasesFlashLoader = 2 };

// Drops unused and repeated port slots; /com=3,3 uses one port.
void SettlePorts(FlashContext& ctx) {
    ctx.portCount = 0;
    for (uint32_t i = 0; i < 2;) {
        const uint32_t port = ctx.plan.comPort[i];
        if (port >= FLASH_PORT_UNUSED) break;
        if (i == 1 && port == ctx.plan.comPort[0]) {
            ctx.plan.comPort[1] = FLASH_PORT_UNUSED;
            continue;
        }
        ctx.ports[i] = PortRecord{};
        ++ctx.portCount;
        ++i;
    }
}

uint32_t CheckAndSortRanges(FlashContext& ctx) {
    auto& reserved = ctx.plan.reserved;
    auto& read = ctx.plan.read;
    uint32_t reservedCount = std::min<uint32_t>(ctx.plan.reservedCount, FLASH_MAX_RANGES);
    const uint32_t readCount = std::min<uint32_t>(ctx.plan.readCount, FLASH_MAX_RANGES);
    const uint32_t mode = ctx.plan.mode;
    if (reservedCount > 0 && mode != kModeVerify && CheckRangesOverlap(reserved.data(), reservedCount) != SUCCESS)
        return ERR_RANGES_OVERLAP;
    if (readCount > 0 && CheckRangesOverlap(read.data(), readCount) != SUCCESS) return ERR_RANGES_OVERLAP;
    reservedCount = MergeAdjacentRanges(reserved.data(), reservedCount);
    SortRanges(reserved.data(), reservedCount);
    SortRanges(read.data(), readCount);
    ctx.plan.reservedCount = reservedCount;
    ctx.plan.readCount = readCount;
    return SUCCESS;
}

uint32_t OpenPorts(FlashContext& ctx) {
    for (uint32_t i = 0; i < ctx.portCount; ++i) {
        if (!ComOpen(ctx, i, ctx.plan.comPort[i], kStartBaud, kOpenReadTimeoutMs)) {
            return ERR_COM;
        }
        ComSetNonBlocking(ctx, i, true);
        ComFlushInput(ctx, i);
        ComSetNonBlocking(ctx, i, false);
    }
    for (uint32_t i = 0; i < ctx.portCount; ++i) {
        PortRecord& rec = ctx.ports[i];
        rec.speedCount = 0;
        for (uint32_t speed : SpeedTable) {
            if (ComSetBaudRate(ctx, i, speed)) rec.supportedSpeeds[rec.speedCount++] = speed;
        }
        if (!ComSetBaudRate(ctx, i, kStartBaud)) return ERR_COM;
        rec.currentBaud = kStartBaud;
        char line[128];
        int used = std::snprintf(line, sizeof line, "PC transfer speeds (COM%u):", ctx.plan.comPort[i] + 1);
        for (uint32_t k = 0; k < rec.speedCount && used > 0 && static_cast<std::size_t>(used) < sizeof line; ++k)
            used += std::snprintf(line + used, sizeof line - used, " %lu",
                                  static_cast<unsigned long>(rec.supportedSpeeds[k]));
        ReportText(ctx, 0, line);
    }
    return SUCCESS;
}

uint32_t LoadFiles(FlashContext& ctx) {
    const uint32_t phases = ctx.plan.phases;
    const uint32_t mode = ctx.plan.mode;
    if (phases == kPhasesAll || phases == kPhasesBootLoader) {
        const PlatformInfo& p = ctx.platform;
        const bool setupUsed = !p.setupLoaderIgnored && (p.memoryInterfaceType == 1 || p.setupLoaderPath[0] != '\0');
        if (setupUsed && !CheckFileReadable(ctx, p.setupLoaderPath)) return ERR_WRONG_FILE_SL;
        if (!CheckFileReadable(ctx, p.flashLoaderPath)) return ERR_WRONG_FILE_FL;
        ScopedThreadPriority normal(ctx, platform::kPriorityNormal);
        if (setupUsed) {
            if (uint32_t rc = LoadSRecordFile(ctx, ctx.setupLoaderList(), p.setupLoaderPath, false); rc != SUCCESS)
                return rc;
        }
        if (uint32_t rc = LoadSRecordFile(ctx, ctx.flashLoaderList(), p.flashLoaderPath, false); rc != SUCCESS)
            return rc;
    }
    if ((phases == kPhasesAll || phases == kPhasesFlashLoader) && (mode == kModeFlash || mode == kModeVerify)) {
        if (!CheckFileReadable(ctx, ctx.plan.file.c_str())) return ERR_WRONG_FILE_LOAD;
        ScopedThreadPriority normal(ctx, platform::kPriorityNormal);
        if (uint32_t rc = LoadSRecordFile(ctx, ctx.imageList(), ctx.plan.file.c_str(), true, ctx.plan.ReservedRanges());
            rc != SUCCESS)
            return rc;
    }
    return SUCCESS;
}

// The port whose PC side goes fastest; the lower index on a tie.
uint32_t FastestPort(const FlashContext& ctx) {
    uint32_t best = 0;
    uint32_t bestSpeed = 0;
    for (uint32_t i = 0; i < ctx.portCount; ++i) {
        const PortRecord& rec = ctx.ports[i];
        const uint32_t top = rec.speedCount > 0 ? rec.supportedSpeeds[std::min<uint32_t>(rec.speedCount, 5) - 1] : 0;
        if (top > bestSpeed) {
            bestSpeed = top;
            best = i;
        }
    }
    return best;
}

uint32_t Transfer(FlashContext& ctx) {
    const uint32_t phases = ctx.plan.phases;
    const uint32_t mode = ctx.plan.mode;
    if (mode == kModeRead) {
        if (ctx.plan.readCount == 0) {
            ReportMessage(ctx, 1, "No memory region to be read defined");
            return ERR_WRONG_READLENGTH;
        }
        if (ctx.plan.saveFile.empty()) {
            ReportMessage(ctx, 1, "SaveFile not specified!");
            return ERR_WRONG_FILE_SAVE;
        }
        // Before the phone is touched: a read must not be lost for want of a file.
        if (phases != kPhasesBootLoader && !CheckSaveFileWritable(ctx, ctx.plan.saveFile.c_str())) return ERR_WRONG_FILE_SAVE;
    }
    uint32_t result = SUCCESS;
    if (phases == kPhasesAll || phases == kPhasesBootLoader) {
        ctx.transferMode = kModeLoader;
        result = RunPhase(ctx, ctx.platform.flashLoaderPath, kModeLoader);
    }
    if (phases == kPhasesBootLoader || result != SUCCESS) return result;

    ctx.activePort = FastestPort(ctx);
    if (mode > kModeRead) return ERR_BAD_PARAMS;
    ctx.transferMode = mode;
    result = RunPhase(ctx, (mode == kModeRead ? ctx.plan.saveFile : ctx.plan.file).c_str(), mode);
    if (result == SUCCESS) SendFinishByte(ctx);  // its outcome does not change the result
    return result;
}

}  // namespace

void CheckOperatingSystem(FlashContext& ctx) {
    ctx.legacyOs = true;
    const platform::OsVersion v =
        ctx.services.system != nullptr ? ctx.services.system->GetOsVersion() : platform::OsVersion{};
    if (v.known) {
        // The system's own name for its release follows in parentheses.
        char release[kMaxLineLength + 1] = "";
        if (!v.release.empty()) std::snprintf(release, sizeof release, " (%s)", v.release.c_str());
        ReportDebug(ctx, "OS: %s, Ver:%lu.%lu%s", v.ntFamily ? "NT family" : "non-NT family",
                    static_cast<unsigned long>(v.major), static_cast<unsigned long>(v.minor), release);
        if (v.ntFamily) ctx.legacyOs = false;
    }
    if (ctx.legacyOs) {
        ctx.overlappedIo = false;
        if (ctx.portCount > 1) {
            ReportDebug(ctx, "Running on legacy OS -> disabling multi-port capabality");
            ctx.portCount = 1;
        }
    } else {
        ctx.overlappedIo = true;
    }
}

bool ReadJobPlatform(FlashContext& ctx) {
    const PlatformSource source{FieldText(ctx.platformDefPath), ctx.plan.platform, FieldText(ctx.exeDirectory)};
    return ReadPlatformDefinition(ctx, source, ctx.platform, ctx.imageList());
}

uint32_t RunJob(FlashContext& ctx) {
    if (uint32_t rc = CheckAndSortRanges(ctx); rc != SUCCESS) return rc;
    ResetRegionLists(ctx.regionLists);  // nothing of an earlier job's lists carries over
    if (!ReadJobPlatform(ctx)) return ERR_BAD_PLATFORM;
    if (!AllocateRegionBuffers(ctx.regionLists, ctx.platform.setupLoaderBase, ctx.platform.flashLoaderBase))
        return ERR_NOMEM;

    uint32_t result = OpenPorts(ctx);
    if (result == SUCCESS) result = LoadFiles(ctx);
    if (result == SUCCESS) result = Transfer(ctx);
    ComCloseAll(ctx);
    FreeRegionBuffers(ctx.regionLists);
    return result;
}

uint32_t DriveJob(FlashContext& ctx) {
    SettlePorts(ctx);
    ctx.activePort = 0;
    CheckOperatingSystem(ctx);
    const uint32_t result = RunJob(ctx);
    ctx.outcome = result;  // the job's one outcome: what its steps returned
    if (result == SUCCESS) {
        ReportMessage(ctx, 0, "All is well !");
        ReportStatus(ctx, "All is well !");
        return SUCCESS;
    }
    ReportDebug(ctx, "ReLoad: %u (%s)", result, ErrorName(result, nullptr));
    ReportErrorCode(ctx, result);
    if (ctx.protocolCause != result && ctx.protocolCause != kNoProtocolCause) ReportErrorCode(ctx, ctx.protocolCause);
    char text[kMaxLineLength + 1];
    std::snprintf(text, sizeof text, "Sorry, an error has occured ! (%s)", ErrorName(result, nullptr));
    ReportText(ctx, 2, text);
    ReportStatus(ctx, text);
    return result;
}

}  // namespace flashwire
