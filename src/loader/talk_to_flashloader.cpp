#include "loader/talk_to_flashloader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "wire/le32.h"
#include "session/reporting.h"
#include "loader/fl_sync.h"
#include "loader/fl_tokens.h"
#include "loader/port_setup.h"
#include "loader/uart_probe.h"
#include "loader/command_exchange.h"
#include "serial/com_port.h"
#include "catalog/flash_type.h"
#include "catalog/size_text.h"

namespace flashwire {
namespace {

constexpr uint32_t kProbeReadTimeoutMs = 10;

// What "INFO" tells about one chip.
struct ChipIds {
    uint16_t amdManufacturer = 0;
    uint32_t amdDevice = 0;
    uint16_t intelManufacturer = 0;
    uint32_t intelDevice = 0;
    uint32_t first = 0;
};

const char* PortName(JobState& ctx, uint32_t port) { return ComPortName(ctx.plan.comPort[port & 1u]); }

std::array<uint8_t, kInfoRequestSize> InfoRequest(const PlatformInfo& platform) {
    std::array<uint8_t, kInfoRequestSize> payload{};
    const uint32_t count =
        platform.chipDescription ? std::min<uint32_t>(platform.flashDefinitionCount, 4) : 0;
    StoreLe32(count, payload.data());
    for (uint32_t i = 0; i < count; ++i) {
        const FlashDefinition& d = platform.flashDefinitions[i];
        StoreLe32(d.base, payload.data() + 4 + 8 * i);
        StoreLe32((d.size / 0x100000u) << 16 | (d.attribute & 0xFFu), payload.data() + 8 + 8 * i);
    }
    return payload;
}

// Up to five "INFO" exchanges, each failure followed by a resynchronisation.
uint32_t QueryDeviceInfo(JobState& ctx, std::array<uint8_t, kInfoReplySize>& reply) {
    const auto request = InfoRequest(ctx.platform);
    uint32_t result = ERR_PROTOCOL;
    for (uint32_t attempt = 0; attempt < kInfoAttempts; ++attempt) {
        result = ExchangeCommand(ctx, FL_CMD_INFO, request, kInfoReplySize, reply, kInfoTimeoutMs);
        if (result == SUCCESS || result == ERR_ABORT) return result;
        if (uint32_t synced = FLSync(ctx); synced != SUCCESS) return synced == ERR_ABORT ? ERR_ABORT : ERR_PROTOCOL;
    }
    return result;
}

void ReportSpeeds(JobState& ctx) {
    char line[128] = "Mobile transfer speeds:";
    std::size_t used = std::strlen(line);
    bool first = true;
    for (uint32_t speed : ctx.deviceInfo.loaderSpeeds) {
        if (speed == 0) break;
        used += std::snprintf(line + used, sizeof line - used, "%s %lu", first ? "" : ",",
                              static_cast<unsigned long>(speed));
        first = false;
    }
    ReportText(ctx, 0, line);
}

// Picks the database entry for chip i and fills chips[i]; false when neither
// identification names a chip of the matching command set.
uint32_t ResolveChip(JobState& ctx, uint32_t i, const ChipIds& ids) {
    const FlashType amd(ids.amdManufacturer, ids.amdDevice, ctx.exeDirectory, ctx.files());
    const FlashType intel(ids.intelManufacturer, ids.intelDevice, ctx.exeDirectory, ctx.files());
    const FlashType* chosen = nullptr;
    if (amd.IsKnown() && amd.GetCommandSet() == 0)
        chosen = &amd;
    else if (intel.IsKnown() && intel.GetCommandSet() == 1)
        chosen = &intel;
    if (chosen == nullptr || chosen->GetBoundaryCount() < 2) {
        ReportMessage(ctx, 0, "Unknown Flash Chip: 0x%02x/0x%08lx, 0x%02x/0x%08lx", ids.amdManufacturer,
                      static_cast<unsigned long>(ids.amdDevice), ids.intelManufacturer,
                      static_cast<unsigned long>(ids.intelDevice));
        return ERR_FLASHTYPE;
    }
    const auto boundaries = static_cast<uint32_t>(chosen->GetBoundaryCount());
    const uint32_t sectorCount = boundaries - 1;
    const uint32_t size = chosen->GetSectorOffsets()[sectorCount];
    // A chip reaching past the 32-bit address space cannot be addressed.
    if (size == 0 || ids.first > UINT32_MAX - (size - 1)) {
        ReportMessage(ctx, 2, "Flash chip %u at 0x%08lx does not fit the address space", i,
                      static_cast<unsigned long>(ids.first));
        return ERR_PROTOCOL;
    }
    FlashChip& chip = ctx.chips[i];
    chip.manufacturerId = chosen->GetManufacturerId();
    chip.deviceId = chosen->GetDeviceId();
    chip.commandSet = static_cast<uint16_t>(chosen->GetCommandSet());
    chip.programmingMode = static_cast<uint16_t>(chosen->GetProgrammingMode());
    chip.sectorCount = sectorCount;
    std::copy_n(chosen->GetSectorOffsets(), boundaries, chip.sectorOffsets);
    chip.first = ids.first;
    chip.last = ids.first + (size - 1);
    ctx.totalSectors += sectorCount;
    ctx.totalFlashBytes += size;
    ReportMessage(ctx, 0, "0x%02x/0x%08lx: %s (%s in %u sectors)", chip.manufacturerId,
                  static_cast<unsigned long>(chip.deviceId),
                  chosen->GetDescription() != nullptr ? chosen->GetDescription() : "", SizeText(size), sectorCount);
    return SUCCESS;
}

// Reads the reply into the context and resolves the chips.
uint32_t TakeDeviceInfo(JobState& ctx, const std::array<uint8_t, kInfoReplySize>& reply) {
    const uint8_t* r = reply.data();
    const uint32_t version = LoadLe32(r);
    const uint32_t major = (version >> 8) & 0xFFu;
    const uint32_t minor = version & 0xFFu;
    const uint32_t count = LoadLe32(r + 4);

    // The version first: an old loader is named as such whatever else it reports.
    ReportMessage(ctx, 0, "Flash loader version: V%u.%02u", major, minor);
    if (major < kMinLoaderMajor || (major == kMinLoaderMajor && minor < kMinLoaderMinor)) {
        ReportMessage(ctx, 2, "Legacy flash loader detected. (%u.%u < %u.%u) Unable to continue.", major, minor,
                      kMinLoaderMajor, kMinLoaderMinor);
        return ERR_LEGACY_LOADER;
    }
    if (count > kMaxChips) {
        ReportMessage(ctx, 2, "The flash loader reports %lu flash chips; at most %u are supported",
                      static_cast<unsigned long>(count), kMaxChips);
        return ERR_PROTOCOL;
    }
    ctx.chipCount = count;
    ctx.totalSectors = 0;
    ctx.totalFlashBytes = 0;
    ctx.deviceInfo.maxTxSize = LoadLe32(r + 88);
    ctx.deviceInfo.maxRxSize = LoadLe32(r + 92);
    for (uint32_t k = 0; k < 5; ++k) ctx.deviceInfo.loaderSpeeds[k] = LoadLe32(r + 96 + 4 * k);
    std::array<ChipIds, kMaxChips> ids{};
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* c = r + 8 + 20 * i;
        ids[i].amdManufacturer = static_cast<uint16_t>((LoadLe32(c) >> 16) & 0xFFu);
        ids[i].amdDevice = LoadLe32(c + 4);
        ids[i].intelManufacturer = static_cast<uint16_t>((LoadLe32(c + 8) >> 16) & 0xFFu);
        ids[i].intelDevice = LoadLe32(c + 12);
        ids[i].first = LoadLe32(c + 16);
    }

    ReportDebug(ctx, "Max. TX/RX size: %lu/%lu", static_cast<unsigned long>(ctx.deviceInfo.maxTxSize),
                static_cast<unsigned long>(ctx.deviceInfo.maxRxSize));
    ReportSpeeds(ctx);
    ReportMessage(ctx, 0, "IDs returned by detection: %u", count);
    for (uint32_t i = 0; i < count; ++i) {
        ReportMessage(ctx, 0, "AMD:0x%02x/0x%08lx, Intel:0x%02x/0x%08lx", ids[i].amdManufacturer,
                      static_cast<unsigned long>(ids[i].amdDevice), ids[i].intelManufacturer,
                      static_cast<unsigned long>(ids[i].intelDevice));
    }
    ReportMessage(ctx, 0, "Detected flash chips: %u", count);
    for (uint32_t i = 0; i < count; ++i) {
        if (uint32_t rc = ResolveChip(ctx, i, ids[i]); rc != SUCCESS) return rc;
    }
    if (count > 1) {
        ReportMessage(ctx, 0, "Total flash memory: %s in %u sectors on %u chips", SizeText(ctx.totalFlashBytes),
                      ctx.totalSectors, count);
    }
    return SUCCESS;
}

// Tests every port but the command port; a failure of port 0 ends the
// start-up, a failure of port 1 leaves one port in use.
uint32_t TestFurtherPorts(JobState& ctx) {
    if (ctx.portCount <= 1) return SUCCESS;
    for (uint32_t port = 0; port < ctx.portCount; ++port) {
        if (port == ctx.activePort) continue;
        const uint32_t rc = CheckConnectionWithRetries(ctx, port);
        if (rc == SUCCESS) continue;
        if (rc == ERR_ABORT) return rc;  // the user's stop, not a port that failed
        if (port == 0) {
            ReportMessage(ctx, 2, "Connection test failed.");
            return rc;
        }
        ctx.portCount = 1;
        ReportMessage(ctx, 2, "Error during connection test. Only one port will be used");
        return SUCCESS;
    }
    ReportMessage(ctx, 0, "%u port(s) will be used", ctx.portCount);
    return SUCCESS;
}

uint32_t RaiseSpeeds(JobState& ctx) {
    for (uint32_t port = 0; port < ctx.portCount; ++port) {
        const PortRecord& rec = ctx.ports[port];
        const uint32_t speed =
            ChooseSpeed(ctx.deviceInfo.loaderSpeeds,
                        std::span<const uint32_t>(rec.supportedSpeeds, std::min<uint32_t>(rec.speedCount, 5)),
                        MaxSpeedLimit(ctx.plan.maxSpeed[port]));
        // No common speed above the one in use: the port stays at 115200.
        if (speed == 0 || speed == 115200) continue;
        ReportMessage(ctx, 0, "%s: changing baud rate to %lu", PortName(ctx, port), static_cast<unsigned long>(speed));
        if (uint32_t rc = BaudRateWithRetries(ctx, ctx.activePort, port, speed); rc != SUCCESS) return rc;
    }
    return SUCCESS;
}

void ReportShares(JobState& ctx) {
    uint64_t sum = 0;
    for (uint32_t port = 0; port < ctx.portCount; ++port) sum += ctx.ports[port].pcBaud;
    ReportMessage(ctx, 0, "Port info:");
    for (uint32_t port = 0; port < ctx.portCount; ++port) {
        PortRecord& rec = ctx.ports[port];
        rec.share = sum == 0 ? 0 : static_cast<uint32_t>(static_cast<uint64_t>(rec.pcBaud) * 100 / sum);
        ReportMessage(ctx, 0, "Logical port %u: %s <-> UART%u at %lu baud (~%lu%%)", port, PortName(ctx, port),
                      rec.uartNumber, static_cast<unsigned long>(rec.pcBaud), static_cast<unsigned long>(rec.share));
    }
}

}  // namespace

uint32_t MaxSpeedLimit(uint32_t index) {
    switch (index) {
    case 0: return 57600;
    case 2: return 230400;
    case 3: return 460800;
    case 4: return 921600;
    default: return 115200;
    }
}

uint32_t ChooseSpeed(std::span<const uint32_t> offered, std::span<const uint32_t> supported, uint32_t limit) {
    uint32_t best = 0;
    for (uint32_t speed : offered) {
        if (speed == 0) continue;  // an empty entry; later ones still count
        if (speed <= limit && speed > best && std::find(supported.begin(), supported.end(), speed) != supported.end())
            best = speed;
    }
    return best;
}

uint32_t TalkToFlashloader(JobState& ctx) {
    if (ctx.activePort >= std::size(ctx.ports) || ctx.portCount == 0 || ctx.portCount > std::size(ctx.ports))
        return ERR_BAD_PARAMS;
    const uint32_t command = ctx.activePort;
    ReportDebug(ctx, "TalkToFlashloader (using %s)", PortName(ctx, command));
    ReportDebug(ctx, "Switching over to flash loader");
    ComSetTimeout(ctx, command, kProbeReadTimeoutMs);
    ComSetNonBlocking(ctx, command, true);
    const uint32_t probed = ProbeUart(ctx, command);
    ComSetNonBlocking(ctx, command, false);
    if (probed == ERR_ABORT) return ERR_ABORT;
    if (probed != SUCCESS) return ERR_PROTOCOL;

    ReportDebug(ctx, "%s is connected to UART%u", PortName(ctx, command), ctx.ports[command].uartNumber);
    ReportDebug(ctx, "Sync'ing to flash loader");
    if (uint32_t synced = FLSync(ctx); synced != SUCCESS) return synced == ERR_ABORT ? ERR_ABORT : ERR_PROTOCOL;

    ReportDebug(ctx, "Querying device information");
    std::array<uint8_t, kInfoReplySize> reply{};
    if (uint32_t rc = QueryDeviceInfo(ctx, reply); rc != SUCCESS) return rc;
    if (uint32_t rc = TakeDeviceInfo(ctx, reply); rc != SUCCESS) return rc;

    if (uint32_t rc = TestFurtherPorts(ctx); rc != SUCCESS) return rc;
    if (uint32_t rc = RaiseSpeeds(ctx); rc != SUCCESS) return rc;
    ReportShares(ctx);
    return SUCCESS;
}

}  // namespace flashwire
