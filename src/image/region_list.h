// Region lists: host buffers that mirror windows of the phone's memory and
// the table of ranges an S-record file loaded into them.
#pragma once

#include <cstdint>
#include <span>

#include "image/memory_region.h"

namespace flashwire {

struct Session;

// Size of the setup loader's and the flash loader's buffer (base to base + 0x1FFFF).
inline constexpr uint32_t kLoaderBufferSize = 0x20000;

// Returned by InsertLoadedRange when the table is already full (nothing inserted).
inline constexpr uint32_t kRangeTableFull = 0xFFFFFFFFu;

inline uint32_t RegionLength(const MemoryRegion& r) { return r.last - r.first + 1u; }

// Empties the three lists: no buffers (all four data pointers released and
// null) and no loaded ranges.
void ResetRegionLists(std::span<RegionList> lists);
// Places the two loader buffers at setupLoaderBase and flashLoaderBase and
// allocates every buffer of the three lists; false (everything released) when
// memory ran out.
bool AllocateRegionBuffers(std::span<RegionList, 3> lists, uint32_t setupLoaderBase, uint32_t flashLoaderBase);
// Releases every buffer; a second call does nothing.
void FreeRegionBuffers(std::span<RegionList> lists);
// Inserts [first, last] in order of first address, then merges adjacent
// ranges. 0, or the index k >= 1 of the second range of the first overlapping
// pair (the table is then left unmerged), or kRangeTableFull.
uint32_t InsertLoadedRange(RegionList& list, uint32_t first, uint32_t last);
// Index of the first buffer holding address, or kNoBuffer.
uint32_t FindBuffer(const RegionList& list, uint32_t address);

}  // namespace flashwire
