// Flash layout: the flash loader's device information and the chips it found.
#pragma once

#include <cstdint>

namespace flashwire {

inline constexpr uint32_t kMaxChips = 4;
inline constexpr uint32_t kMaxSectorOffsets = 4096;

struct DeviceInfo {
    uint32_t maxTxSize = 0;
    uint32_t maxRxSize = 0;
    uint32_t loaderSpeeds[5]{};
};

struct FlashChip {
    uint16_t manufacturerId = 0;
    uint16_t commandSet = 0;
    uint16_t programmingMode = 0;
    uint32_t deviceId = 0;
    uint32_t sectorCount = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    uint32_t sectorOffsets[kMaxSectorOffsets]{};
};

}  // namespace flashwire
