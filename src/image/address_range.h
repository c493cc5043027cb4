// The rules every list of AddressRanges follows (all comparisons unsigned).
#pragma once

#include <cstdint>

#include "flashwire/flash_api.h"

namespace flashwire {

inline uint32_t RangeLength(const AddressRange& r) { return r.last - r.first + 1u; }

// [a,b] and [c,d] overlap when c or d lies in [a,b] or [a,b] lies in [c,d];
// touching ranges do not overlap.
bool RangesOverlap(const AddressRange& a, const AddressRange& b);

// Ascending by first address (neighbour swaps until a pass swaps nothing).
void SortRanges(AddressRange* ranges, uint32_t count);

// SUCCESS, or ERR_RANGES_OVERLAP for the first overlapping pair.
uint32_t CheckRangesOverlap(const AddressRange* ranges, uint32_t count);

// Merges adjacent neighbours of a sorted list, restarting from the front after
// every merge; returns the new count.
uint32_t MergeAdjacentRanges(AddressRange* ranges, uint32_t count);

}  // namespace flashwire
