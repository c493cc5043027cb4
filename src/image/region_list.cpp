// Region lists: placing, allocating and releasing the host buffers, the table
// of loaded ranges and the lookup of the buffer that holds an address.
#include "image/region_list.h"

#include <memory>
#include <new>

#include "image/address_range.h"
#include "platform/invariant.h"

namespace flashwire {

void ResetRegionLists(std::span<RegionList> lists) {
    for (RegionList& list : lists) {
        list.bufferCount = 0;
        for (MemoryRegion& buffer : list.buffers) buffer.data.reset();
        list.rangeCount = 0;
    }
}

namespace {

void PlaceLoaderBuffer(RegionList& list, uint32_t base) {
    list.bufferCount = 1;
    list.buffers[0].first = base;
    list.buffers[0].last = base + (kLoaderBufferSize - 1);
}

// Allocates the buffers of one list in order; false at the first failure.
bool AllocateList(RegionList& list) {
    for (uint32_t i = 0; i < list.bufferCount && i < kMaxBuffers; ++i) {
        MemoryRegion& buffer = list.buffers[i];
        const uint32_t length = RegionLength(buffer);
        // A buffer whose bounds run backwards (or span all 4 GiB) cannot be held.
        if (buffer.last < buffer.first || length == 0) return false;
        try {
            buffer.data = std::make_unique_for_overwrite<uint8_t[]>(length);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool AllocateRegionBuffers(std::span<RegionList, 3> lists, uint32_t setupLoaderBase, uint32_t flashLoaderBase) {
    PlaceLoaderBuffer(lists[kSetupLoaderList], setupLoaderBase);
    PlaceLoaderBuffer(lists[kFlashLoaderList], flashLoaderBase);
    // The image list's buffers were placed by the platform reading.

    bool ok = true;
    for (RegionList& list : lists) {
        if (!AllocateList(list)) ok = false;  // go on with the next list
    }
    if (!ok) FreeRegionBuffers(lists);
    return ok;
}

void FreeRegionBuffers(std::span<RegionList> lists) {
    for (RegionList& list : lists) {
        for (uint32_t i = 0; i < list.bufferCount && i < kMaxBuffers; ++i) list.buffers[i].data.reset();
    }
}

uint32_t InsertLoadedRange(RegionList& list, uint32_t first, uint32_t last) {
    if (list.rangeCount >= kMaxLoadedRanges) return kRangeTableFull;

    uint32_t j = 0;
    while (j < list.rangeCount && list.ranges[j].first < first) ++j;
    for (uint32_t i = list.rangeCount; i > j; --i) list.ranges[i] = list.ranges[i - 1];
    list.ranges[j] = AddressRange{first, last};
    ++list.rangeCount;

    for (uint32_t k = 1; k < list.rangeCount; ++k) {
        if (RangesOverlap(list.ranges[k - 1], list.ranges[k])) return k;
    }
    if (list.rangeCount >= 2) list.rangeCount = MergeAdjacentRanges(list.ranges, list.rangeCount);
    // The loaded ranges stay sorted, apart and well formed.
    for (uint32_t k = 0; k < list.rangeCount; ++k) {
        FLASHWIRE_ASSERT(list.ranges[k].first <= list.ranges[k].last);
        FLASHWIRE_ASSERT(k == 0 || list.ranges[k - 1].last < list.ranges[k].first);
    }
    return 0;
}

uint32_t FindBuffer(const RegionList& list, uint32_t address) {
    for (uint32_t i = 0; i < list.bufferCount && i < kMaxBuffers; ++i) {
        if (list.buffers[i].first <= address && address <= list.buffers[i].last) return i;
    }
    return kNoBuffer;
}

}  // namespace flashwire
