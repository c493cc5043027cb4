// Loader images: signatures and the RAM a boot loader fills.
#include "sim/loader_image.h"

#include <algorithm>
#include <cstring>

namespace flashwire::sim {

ImageKind IdentifyImage(std::span<const uint8_t> bytes) {
    auto starts = [&](const char* sig) {
        const std::size_t n = std::strlen(sig);
        return bytes.size() >= n && std::equal(sig, sig + n, bytes.begin(), [](char c, uint8_t b) {
                   return static_cast<uint8_t>(c) == b;
               });
    };
    if (starts(kSetupLoaderSignature)) return ImageKind::SetupLoader;
    if (starts(kFlashLoaderSignature)) return ImageKind::FlashLoader;
    return ImageKind::Unknown;
}

const char* ImageKindName(ImageKind kind) {
    switch (kind) {
    case ImageKind::SetupLoader: return "setup loader";
    case ImageKind::FlashLoader: return "flash loader";
    default: return "unknown image";
    }
}

bool RamLoad::Write(uint32_t address, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    const uint64_t end = static_cast<uint64_t>(address) + bytes.size();
    const uint64_t low = segments_.empty() ? address : std::min<uint64_t>(low_, address);
    const uint64_t high = segments_.empty() ? end : std::max<uint64_t>(high_, end);
    if (high - low > kMaxRamSpan) return false;
    // Later writes replace earlier bytes at the same addresses; segments stay
    // disjoint: every segment the new bytes overlap is merged into one.
    uint64_t cStart = address, cEnd = end;
    std::vector<std::map<uint32_t, std::vector<uint8_t>>::iterator> overlapped;
    for (auto it = segments_.begin(); it != segments_.end(); ++it) {
        const uint64_t sStart = it->first, sEnd = sStart + it->second.size();
        if (sStart < end && sEnd > address) {
            overlapped.push_back(it);
            cStart = std::min(cStart, sStart);
            cEnd = std::max(cEnd, sEnd);
        }
    }
    std::vector<uint8_t> combined(cEnd - cStart, 0xFF);
    for (auto it : overlapped) {
        std::copy(it->second.begin(), it->second.end(),
                  combined.begin() + static_cast<std::ptrdiff_t>(it->first - cStart));
        segments_.erase(it);
    }
    std::copy(bytes.begin(), bytes.end(), combined.begin() + static_cast<std::ptrdiff_t>(address - cStart));
    segments_[static_cast<uint32_t>(cStart)] = std::move(combined);
    low_ = static_cast<uint32_t>(low);
    high_ = high;
    bytesWritten_ += bytes.size();
    return true;
}

LoadedImage RamLoad::Image() const {
    LoadedImage image;
    if (segments_.empty()) return image;
    image.base = low_;
    image.bytes.assign(high_ - low_, 0xFF);
    for (const auto& [addr, data] : segments_)
        std::copy(data.begin(), data.end(), image.bytes.begin() + static_cast<std::ptrdiff_t>(addr - low_));
    return image;
}

void RamLoad::Clear() {
    segments_.clear();
    low_ = 0;
    high_ = 0;
    bytesWritten_ = 0;
}

}  // namespace flashwire::sim
