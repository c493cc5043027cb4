// One candidate flash chip, looked up in "flash.types" by its manufacturer ID
// and device ID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace flashwire {

inline constexpr uint32_t kMaxSectorBoundaries = 1024;  // 1023 sectors
inline constexpr std::size_t kFlashTypeTextSize = 250;
inline constexpr std::size_t kMaxLayoutName = 51;

// The chip is looked up once, in the constructor. directory is where
// "flash.types" lies, ending with its path separator (the job passes
// ctx.exeDirectory, the handle's data directory); an empty directory
// means the current one.
class FlashType {
public:
    // "flash.types" in directory, read through files.
    FlashType(uint16_t manufacturerId, uint32_t deviceId, std::string_view directory,
              platform::FileSystem& files = platform::StandardFiles());

    // 1 when the chip was found and fully described, else 0.
    uint32_t IsKnown() const { return valid_; }
    // The display text, or null when there is none.
    const char* GetDescription() const { return description_[0] != '\0' ? description_ : nullptr; }
    // Entries of GetSectorOffsets: the number of sectors + 1.
    int32_t GetBoundaryCount() const { return boundaryCount_; }
    // Byte offset of each sector's start within the chip, beginning with 0,
    // followed by the chip's size.
    const uint32_t* GetSectorOffsets() const { return sectorOffsets_; }
    // 0 amd, 1 intel.
    uint32_t GetCommandSet() const { return commandSet_; }
    // 0 standard, 1 unlockbypass, 2 pagebuffer.
    uint32_t GetProgrammingMode() const { return programmingMode_; }
    uint16_t GetManufacturerId() const { return manufacturerId_; }
    uint32_t GetDeviceId() const { return deviceId_; }

private:
    uint32_t Load(std::string_view directory);
    uint32_t ParseChipInfo(const char* chipKey);
    bool AppendOffset(uint32_t offset);

    uint32_t valid_ = 0;
    uint16_t manufacturerId_ = 0;
    uint32_t deviceId_ = 0;
    int32_t boundaryCount_ = 0;
    uint32_t sectorOffsets_[kMaxSectorBoundaries]{};
    uint32_t commandSet_ = 0;
    uint32_t programmingMode_ = 0;
    platform::FileSystem* files_;
    char typesPath_[kFlashTypeTextSize]{};
    char description_[kFlashTypeTextSize]{};
};

}  // namespace flashwire
