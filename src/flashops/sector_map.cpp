#include "flashops/sector_map.h"

#include <vector>

#include "platform/invariant.h"
#include "image/address_range.h"
#include "state/job_state.h"
#include "session/reporting.h"

namespace flashwire {
namespace {

// Applies the first overlapping (entry, remove) pair; false when none overlaps.
// A split that does not fit sets overflow.
bool SubtractFirstOverlap(AddressRange* list, uint32_t& count, uint32_t capacity, const AddressRange* removeList,
                          uint32_t removeCount, bool& overflow) {
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t j = 0; j < removeCount; ++j) {
            AddressRange& a = list[i];
            const AddressRange& b = removeList[j];
            if (!RangesOverlap(a, b)) continue;
            if (a.first <= b.first && b.last < a.last) {
                // b lies inside a and ends before it.
                if (a.first == b.first) {
                    a.first = b.last + 1;
                } else {
                    if (count >= capacity) {
                        overflow = true;
                        return false;
                    }
                    const AddressRange tail{b.last + 1, a.last};
                    a.last = b.first - 1;
                    for (uint32_t k = count; k > i + 1; --k) list[k] = list[k - 1];
                    list[i + 1] = tail;
                    ++count;
                }
            } else if (b.first <= a.first && a.last <= b.last) {
                for (uint32_t k = i; k + 1 < count; ++k) list[k] = list[k + 1];
                --count;
            } else if (a.first < b.first) {
                a.last = b.first - 1;  // b covers a's tail
            } else {
                a.first = b.last + 1;  // b covers a's head
            }
            return true;
        }
    }
    return false;
}

}  // namespace

bool SubtractRanges(AddressRange* list, uint32_t& count, uint32_t capacity, const AddressRange* removeList,
                    uint32_t removeCount) {
    bool overflow = false;
    while (SubtractFirstOverlap(list, count, capacity, removeList, removeCount, overflow)) {
    }
    SortRanges(list, count);
    return !overflow;
}

bool CheckInsideFlash(JobState& ctx, const AddressRange* ranges, uint32_t count) {
    const uint32_t chipCount = std::min<uint32_t>(ctx.chipCount, kMaxChips);
    std::vector<AddressRange> rest(ranges, ranges + count);
    rest.resize(static_cast<std::size_t>(count) + chipCount);
    std::vector<AddressRange> chips;
    for (uint32_t i = 0; i < chipCount; ++i) chips.push_back({ctx.chips[i].first, ctx.chips[i].last});
    uint32_t left = count;
    SubtractRanges(rest.data(), left, static_cast<uint32_t>(rest.size()), chips.data(), chipCount);
    if (left == 0) return true;
    ReportMessage(ctx, 2, "Data outside flash memory:");
    for (uint32_t i = 0; i < left; ++i)
        ReportMessage(ctx, 2, "0x%08lx - 0x%08lx", static_cast<unsigned long>(rest[i].first),
                      static_cast<unsigned long>(rest[i].last));
    return false;
}

bool FindChipSector(const FlashChip* chips, uint32_t chipCount, uint32_t address, SectorLocation& out) {
    for (uint32_t c = 0; c < chipCount && c < kMaxChips; ++c) {
        const FlashChip& chip = chips[c];
        if (address < chip.first || address > chip.last) continue;
        const uint32_t offset = address - chip.first;
        const uint32_t sectors = std::min<uint32_t>(chip.sectorCount, kMaxSectorOffsets - 1);
        for (uint32_t s = 0; s < sectors; ++s) {
            if (offset < chip.sectorOffsets[s + 1]) {
                // The sector found holds the address: the offsets rise.
                FLASHWIRE_ASSERT(chip.sectorOffsets[s] <= offset);
                out = {c, s, chip.first + chip.sectorOffsets[s], chip.sectorOffsets[s + 1] - chip.sectorOffsets[s]};
                return true;
            }
        }
        return false;
    }
    return false;
}

uint8_t SectorOpenFlags(bool extProtect, uint32_t sectorFirst, uint32_t sectorLength, uint32_t rangeFirst,
                        uint32_t rangeLast) {
    uint8_t flags = extProtect ? uint8_t{kOpenExtProtect} : static_cast<uint8_t>(kOpenStandard | kOpenStandardHigh);
    const bool inside = rangeFirst <= sectorFirst && sectorFirst + (sectorLength - 1) <= rangeLast;
    if (!inside) flags |= kOpenPartial;
    return flags;
}

}  // namespace flashwire
