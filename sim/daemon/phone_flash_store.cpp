#include "sim/daemon/phone_flash_store.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/daemon/flash_file.h"

namespace flashwire::simd {

namespace {

uint64_t TotalSize(const sim::NorFlash& flash) {
    uint64_t total = 0;
    for (unsigned i = 0; i < flash.chipCount(); ++i) total += flash.chipSize(i);
    return total;
}

}  // namespace

FlashRestore RestorePhoneFlash(const std::string& path, sim::NorFlash& flash, std::string& error) {
    std::vector<uint8_t> contents;
    switch (LoadFlashFile(path, TotalSize(flash), contents, error)) {
        case FlashFileLoad::Missing:
            return FlashRestore::NoFile;
        case FlashFileLoad::Failed:
            return FlashRestore::Failed;
        case FlashFileLoad::Loaded:
            break;
    }
    // Erased flash reads 0xFF without storage of its own; store only the
    // pieces that differ from what the chips hold, so a mostly empty flash
    // stays cheap.
    constexpr std::size_t kPiece = 4096;
    std::size_t offset = 0;
    for (unsigned i = 0; i < flash.chipCount(); ++i) {
        const uint32_t first = flash.chip(i).firstAddress;
        const uint32_t size = flash.chipSize(i);
        for (uint32_t done = 0; done < size;) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kPiece, size - done));
            const std::span<const uint8_t> piece(contents.data() + offset + done, n);
            const std::vector<uint8_t> now = flash.Read(first + done, n);
            if (!std::equal(piece.begin(), piece.end(), now.begin(), now.end())) {
                flash.Store(first + done, piece);
            }
            done += n;
        }
        offset += size;
    }
    return FlashRestore::Restored;
}

bool StorePhoneFlash(const std::string& path, const sim::NorFlash& flash, std::string& error) {
    // Chip by chip in pieces of 1 MiB, so that saving a large flash does not
    // need a copy of all of it at once.
    constexpr uint32_t kPiece = 1u << 20;
    unsigned chip = 0;
    uint32_t done = 0;
    return SaveFlashFile(
        path,
        [&](std::vector<uint8_t>& piece) {
            while (chip < flash.chipCount() && done >= flash.chipSize(chip)) {
                ++chip;
                done = 0;
            }
            if (chip >= flash.chipCount()) return false;
            const uint32_t n = std::min(kPiece, flash.chipSize(chip) - done);
            piece = flash.Read(flash.chip(chip).firstAddress + done, n);
            done += n;
            return true;
        },
        error);
}

}  // namespace flashwire::simd
