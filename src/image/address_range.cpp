// Overlap, sorting, overlap check and merging of address range lists.
#include "image/address_range.h"

#include <utility>

namespace flashwire {
namespace {
bool Contains(const AddressRange& r, uint32_t address) { return address >= r.first && address <= r.last; }
}  // namespace

bool RangesOverlap(const AddressRange& a, const AddressRange& b) {
    return Contains(a, b.first) || Contains(a, b.last) || (a.first >= b.first && a.last <= b.last);
}

void SortRanges(AddressRange* ranges, uint32_t count) {
    if (!ranges || count < 2) return;
    bool swapped = true;
    while (swapped) {
        swapped = false;
        for (uint32_t i = 0; i + 1 < count; ++i) {
            if (ranges[i + 1].first < ranges[i].first) {
                std::swap(ranges[i], ranges[i + 1]);
                swapped = true;
            }
        }
    }
}

uint32_t CheckRangesOverlap(const AddressRange* ranges, uint32_t count) {
    if (!ranges) return SUCCESS;
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t j = 0; j < count; ++j)
            if (i != j && RangesOverlap(ranges[i], ranges[j])) return ERR_RANGES_OVERLAP;
    return SUCCESS;
}

uint32_t MergeAdjacentRanges(AddressRange* ranges, uint32_t count) {
    if (!ranges || count < 2) return count;
    bool merged = true;
    while (merged) {
        merged = false;
        for (uint32_t i = 0; i + 1 < count; ++i) {
            // A range ending at 0xFFFFFFFF has no address behind it.
            if (ranges[i].last != UINT32_MAX && ranges[i].last + 1u == ranges[i + 1].first) {
                ranges[i].last = ranges[i + 1].last;
                for (uint32_t k = i + 1; k + 1 < count; ++k) ranges[k] = ranges[k + 1];
                --count;
                merged = true;
                break;
            }
        }
    }
    return count;
}

}  // namespace flashwire
