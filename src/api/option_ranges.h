// Copying the range lists in and out of the packed FlashOptions record (its
// members are unaligned, so no pointer to them is ever taken).
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

#include "flashwire/flash_api.h"

namespace flashwire {

using OptionRanges = std::array<AddressRange, FLASH_MAX_RANGES>;

enum class RangeList { Reserved, Read };

inline std::size_t RangeListOffset(RangeList list) {
    return list == RangeList::Reserved ? offsetof(FlashOptions, reserved) : offsetof(FlashOptions, read);
}

inline OptionRanges LoadRanges(const FlashOptions& options, RangeList list) {
    OptionRanges ranges;
    std::memcpy(ranges.data(), reinterpret_cast<const unsigned char*>(&options) + RangeListOffset(list),
                sizeof(ranges));
    return ranges;
}

inline void StoreRanges(FlashOptions& options, RangeList list, const OptionRanges& ranges) {
    std::memcpy(reinterpret_cast<unsigned char*>(&options) + RangeListOffset(list), ranges.data(),
                sizeof(ranges));
}

inline uint32_t RangeCount(const FlashOptions& options, RangeList list) {
    return list == RangeList::Reserved ? options.reservedCount : options.readCount;
}

inline void SetRangeCount(FlashOptions& options, RangeList list, uint32_t count) {
    if (list == RangeList::Reserved)
        options.reservedCount = count;
    else
        options.readCount = count;
}

}  // namespace flashwire
