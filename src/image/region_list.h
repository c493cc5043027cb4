// Region lists: host buffers that mirror windows of the phone's memory and
// the table of ranges an S-record file loaded into them.
#pragma once

#include <cstdint>

#include "job/context.h"

namespace flashwire {

inline uint32_t RegionLength(const MemoryRegion& r) { return r.last - r.first + 1u; }

void ResetRegionLists(FlashContext& ctx);
bool AllocateRegionBuffers(FlashContext& ctx);
void FreeRegionBuffers(FlashContext& ctx);
// 0, or the index k >= 1 of the second range of the first overlapping pair.
uint32_t InsertLoadedRange(RegionList& list, uint32_t first, uint32_t last);
// Index of the first buffer holding address, or kNoBuffer.
uint32_t FindBuffer(const RegionList& list, uint32_t address);

}  // namespace flashwire
