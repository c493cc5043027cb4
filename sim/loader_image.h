// Loader images in the phone's RAM: the RAM that a boot loader fills, and the
// signature that tells the phone what it was given. A setup loader image
// starts with the seven ASCII bytes "FWSETUP", a flash loader image with
// "FWFLASH"; anything else is not a program the phone can run.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "sim/phone.h"

namespace flashwire::sim {

enum class ImageKind : uint8_t { Unknown, SetupLoader, FlashLoader };

inline constexpr char kSetupLoaderSignature[] = "FWSETUP";
inline constexpr char kFlashLoaderSignature[] = "FWFLASH";

ImageKind IdentifyImage(std::span<const uint8_t> bytes);
const char* ImageKindName(ImageKind kind);

// RAM written piecewise by "data" commands or numbered blocks. Holds at most
// kMaxRamSpan bytes between the lowest and the highest address written.
class RamLoad {
public:
    static constexpr uint32_t kMaxRamSpan = 4u << 20;

    // False (nothing stored) when the write would make the span too large.
    bool Write(uint32_t address, std::span<const uint8_t> bytes);
    bool empty() const { return segments_.empty(); }
    uint64_t bytesWritten() const { return bytesWritten_; }
    // Everything written, from the lowest address to the highest (gaps 0xFF).
    LoadedImage Image() const;
    void Clear();

private:
    std::map<uint32_t, std::vector<uint8_t>> segments_;
    uint32_t low_ = 0;
    uint64_t high_ = 0;  // one past the highest byte
    uint64_t bytesWritten_ = 0;
};

}  // namespace flashwire::sim
