// Image data: host buffers that mirror windows of the phone's memory, and the
// table of ranges loaded into them.
#pragma once

#include <cstdint>
#include <memory>

#include "flashwire/flash_api.h"

namespace flashwire {

inline constexpr uint32_t kMaxBuffers = 4;
inline constexpr uint32_t kMaxLoadedRanges = 1024;
inline constexpr uint32_t kNoBuffer = 0xFFFF;

struct MemoryRegion {
    uint32_t first = 0;
    uint32_t last = 0;
    std::unique_ptr<uint8_t[]> data;  // last - first + 1 bytes; null while not allocated
};

struct RegionList {
    uint32_t bufferCount = 0;
    MemoryRegion buffers[kMaxBuffers];
    uint32_t rangeCount = 0;
    AddressRange ranges[kMaxLoadedRanges]{};
};

// The three lists of a job, by their index in JobState::regionLists.
enum RegionListIndex : uint32_t { kSetupLoaderList = 0, kFlashLoaderList = 1, kImageList = 2 };

}  // namespace flashwire
