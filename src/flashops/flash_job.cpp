// The flash job: "SETP", then per sector "OPEN", "TXDT" per block, ("ERAS"),
// "CLOS"; at the end "DONE". With /diff each sector's part is compared first
// ("VRFY" per 64 KiB) and written only when it differs.
#include <algorithm>
#include <vector>

#include "flashops/flash_commands.h"
#include "flashops/jobs.h"
#include "flashops/sector_map.h"
#include "session/reporting.h"
#include "serial/com_port.h"
#include "catalog/size_text.h"

namespace flashwire {
namespace {

constexpr uint32_t kNoSector = 0xFFFF;

uint64_t TotalLength(const std::vector<AddressRange>& ranges) {
    uint64_t total = 0;
    for (const AddressRange& r : ranges) total += static_cast<uint64_t>(r.last - r.first) + 1;
    return total;
}

void ReportRangeLines(JobState& ctx, const std::vector<AddressRange>& ranges) {
    uint32_t number = 1;
    for (const AddressRange& r : ranges) {
        ReportMessage(ctx, 0, "%2u: 0x%08lx - 0x%08lx = %10lu Bytes", number++, static_cast<unsigned long>(r.first),
                      static_cast<unsigned long>(r.last), static_cast<unsigned long>(r.last - r.first + 1));
    }
}

std::vector<AddressRange> ReservedRanges(const JobState& ctx) {
    const std::span<const AddressRange> all = ctx.plan.ReservedRanges();
    return std::vector<AddressRange>(all.begin(), all.end());
}

// The ranges to be written, checked and announced; false ends the job with
// ERR_RANGE_OUTSIDE_FLASH.
bool PrepareRegions(JobState& ctx, std::vector<AddressRange>& plan, uint64_t& total) {
    const RegionList& image = ctx.imageList();
    plan.assign(image.ranges, image.ranges + std::min<uint32_t>(image.rangeCount, kMaxLoadedRanges));
    if (!CheckInsideFlash(ctx, plan.data(), static_cast<uint32_t>(plan.size()))) return false;

    const std::vector<AddressRange> reserved = ReservedRanges(ctx);
    if (reserved.empty())
        ReportMessage(ctx, 0, "There are no reserved regions defined");
    else if (reserved.size() == 1)
        ReportMessage(ctx, 0, "There is 1 reserved region defined:");
    else
        ReportMessage(ctx, 0, "There are %u reserved regions defined:", static_cast<unsigned>(reserved.size()));
    ReportRangeLines(ctx, reserved);
    total = TotalLength(plan);

    if (ctx.plan.eraseUnused) {
        ReportMessage(ctx, 0, "'Erase unused' option is ENABLED !");
        plan.clear();
        for (uint32_t i = 0; i < ctx.chipCount && i < kMaxChips; ++i) plan.push_back({ctx.chips[i].first, ctx.chips[i].last});
        auto count = static_cast<uint32_t>(plan.size());
        plan.resize(plan.size() + reserved.size());
        SubtractRanges(plan.data(), count, static_cast<uint32_t>(plan.size()), reserved.data(),
                       static_cast<uint32_t>(reserved.size()));
        plan.resize(count);
        if (count == 1)
            ReportMessage(ctx, 0, "1 memory region has to be flashed:");
        else
            ReportMessage(ctx, 0, "%u memory regions have to be flashed:", count);
        ReportRangeLines(ctx, plan);
        total = TotalLength(plan);
    }
    return true;
}

// "SETP" with the flash job's retries: the command port's input is emptied
// before each retry (no resynchronisation).
uint32_t SetupWithFlushRetries(JobState& ctx) {
    uint32_t result = Setup(ctx);
    if (result == SUCCESS || result == ERR_ABORT) return result;
    const uint32_t tries = MaxTries(ctx);
    for (uint32_t retry = 1; retry < tries; ++retry) {
        ReportDebug(ctx, "Retry %u: Setup", retry);
        ComFlushInput(ctx, ctx.activePort);
        result = Setup(ctx);
        if (result == SUCCESS || result == ERR_ABORT) return result;
    }
    ReportDebug(ctx, "Giving up on Setup");
    return ERR_TOO_MANY_RETRIES;
}

class FlashWriter {
public:
    FlashWriter(JobState& ctx, bool diff, bool extProtect)
        : ctx_(ctx), diff_(diff), extProtect_(extProtect), writeBlock_(WriteBlockSize(ctx)) {}

    uint32_t WriteRange(const AddressRange& range);
    // Erases (extra protection) and closes the open sector, if any.
    uint32_t CloseOpenSector();

private:
    uint32_t EnterSector(const SectorLocation& found, const AddressRange& range);

    JobState& ctx_;
    const bool diff_;
    const bool extProtect_;
    const uint32_t writeBlock_;
    uint32_t chip_ = kNoSector;
    uint32_t sector_ = kNoSector;
    SectorLocation current_{};
    bool open_ = false;
    bool verifying_ = false;
    uint32_t rewindAddress_ = 0;
    uint64_t rewindLeft_ = 0;
    uint32_t address_ = 0;
    uint64_t left_ = 0;
    uint64_t done_ = 0;
};

uint32_t FlashWriter::CloseOpenSector() {
    if (!open_) return SUCCESS;
    if (extProtect_) {
        const uint32_t rc = EraseSectorWithRetries(ctx_, chip_, sector_, current_.first, current_.length);
        if (rc != SUCCESS) return rc;
    }
    if (uint32_t rc = CloseSectorWithRetries(ctx_, chip_, sector_); rc != SUCCESS) return rc;
    open_ = false;
    return SUCCESS;
}

uint32_t FlashWriter::EnterSector(const SectorLocation& found, const AddressRange& range) {
    if (open_) {
        if (uint32_t rc = CloseOpenSector(); rc != SUCCESS) return rc;
        verifying_ = diff_;
    }
    chip_ = found.chip;
    sector_ = found.sector;
    current_ = found;
    const uint8_t flags = SectorOpenFlags(extProtect_, found.first, found.length, range.first, range.last);
    // A sector entered again after a difference is not announced twice.
    if (!diff_ || verifying_) ReportDebug(ctx_, "Sector: %u/%u", chip_, sector_);
    if (!verifying_) {
        if (uint32_t rc = OpenSectorWithRetries(ctx_, chip_, sector_, found.first, found.length, flags); rc != SUCCESS)
            return rc;
        open_ = true;
    }
    if (diff_) {
        rewindAddress_ = address_;
        rewindLeft_ = left_;
    }
    return SUCCESS;
}

uint32_t FlashWriter::WriteRange(const AddressRange& range) {
    address_ = range.first;
    left_ = static_cast<uint64_t>(range.last - range.first) + 1;
    verifying_ = diff_;
    rewindAddress_ = address_;
    rewindLeft_ = left_;
    while (left_ > 0) {
        SectorLocation found;
        if (!FindChipSector(ctx_.chips, ctx_.chipCount, address_, found)) return ERR_UNKNOWN;
        if (found.chip != chip_ || found.sector != sector_) {
            if (uint32_t rc = EnterSector(found, range); rc != SUCCESS) return rc;
        } else if (open_ && diff_) {
            verifying_ = false;  // the rest of an open sector is written without comparing
        }

        uint64_t n = std::min<uint64_t>(left_, verifying_ ? kCompareBlock : writeBlock_);
        const uint64_t sectorEnd = static_cast<uint64_t>(current_.first) + current_.length;
        n = std::min<uint64_t>(n, sectorEnd - address_);
        const uint32_t block = BlockInBuffer(ctx_, address_, static_cast<uint32_t>(n));
        if (block == 0) return ERR_RANGE_OUTSIDE_FLASH;

        if (verifying_) {
            const uint32_t rc = CompareWithRetries(ctx_, address_, block, false);
            if (rc == ERR_VERIFY_DIFFERENCE) {
                // Back to where this sector's part began; it is opened and written from there.
                address_ = rewindAddress_;
                left_ = rewindLeft_;
                verifying_ = false;
                chip_ = sector_ = kNoSector;
                continue;
            }
            if (rc != SUCCESS) return rc;
        } else if (uint32_t rc = SendDataWithRetries(ctx_, address_, block); rc != SUCCESS) {
            return rc;
        }
        address_ += block;
        left_ -= block;
        done_ += block;
        ProgressUpdate(ctx_, static_cast<uint32_t>(std::min<uint64_t>(done_, UINT32_MAX)));
    }
    return SUCCESS;
}

}  // namespace

uint32_t RunFlashJob(JobState& ctx) {
    std::vector<AddressRange> plan;
    uint64_t total = 0;
    if (!PrepareRegions(ctx, plan, total)) return ERR_RANGE_OUTSIDE_FLASH;
    if (!CheckInsideBuffers(ctx, plan.data(), static_cast<uint32_t>(plan.size()))) return ERR_RANGE_OUTSIDE_FLASH;
    const bool extProtect = ctx.plan.extProtect;
    const bool diff = ctx.plan.diff && !extProtect;  // extra protection writes every sector

    const auto total32 = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
    ReportMessage(ctx, 0, "Data to be transferred: %s", SizeText(total32));
    ProgressBegin(ctx, "Loading Flash ...", total32);
    if (uint32_t rc = SetupWithFlushRetries(ctx); rc != SUCCESS) return rc;

    FlashWriter writer(ctx, diff, extProtect);
    for (const AddressRange& range : plan) {
        if (uint32_t rc = writer.WriteRange(range); rc != SUCCESS) return rc;
    }
    if (uint32_t rc = writer.CloseOpenSector(); rc != SUCCESS) return rc;
    Done(ctx);
    ProgressEnd(ctx);
    return SUCCESS;
}

}  // namespace flashwire
