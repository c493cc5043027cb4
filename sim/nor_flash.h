// The phone's NOR flash: chips at addresses of the phone's address space,
// each cut into sectors. Erased bytes read 0xFF, programming can only clear
// bits (the new value is the old one AND the programmed one), erasing works on
// whole sectors. Storage is allocated per sector on first programming, so
// large chips cost nothing while erased.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/phone_config.h"

namespace flashwire::sim {

// One sector as the flash loader names it: chip index, sector index within the
// chip, its first address and its size in bytes.
struct SectorRef {
    unsigned chip = 0;
    unsigned sector = 0;
    uint32_t first = 0;
    uint32_t size = 0;
    uint32_t end() const { return first + size; }  // first address behind it (may wrap to 0)
};

class NorFlash {
public:
    NorFlash() = default;
    // Chips must not overlap and must not run past the end of the address
    // space; error receives the reason when they do (the flash then has no chips).
    explicit NorFlash(const std::vector<ChipConfig>& chips, std::string* error = nullptr);

    unsigned chipCount() const { return static_cast<unsigned>(chips_.size()); }
    const ChipConfig& chip(unsigned index) const { return chips_[index].config; }
    uint32_t chipSize(unsigned index) const { return chips_[index].size; }
    unsigned sectorCount(unsigned chip) const;

    std::optional<SectorRef> Sector(unsigned chip, unsigned sector) const;
    std::optional<SectorRef> FindSector(uint32_t address) const;
    // True when every byte of [first, first + length) lies in some chip (the
    // range may span chips that touch). Length 0 is inside when first is.
    bool Contains(uint32_t first, uint64_t length) const;

    // Reading: addresses outside every chip read 0xFF.
    uint8_t ReadByte(uint32_t address) const;
    std::vector<uint8_t> Read(uint32_t first, uint32_t length) const;

    // Programs bytes from address on (AND); bytes outside every chip are
    // ignored. Returns the number of bytes that were not 0xFF.
    uint64_t Program(uint32_t address, std::span<const uint8_t> bytes);
    void EraseSector(const SectorRef& sector);
    // Sets bytes directly, as the phone's factory did (not NOR rules).
    void Store(uint32_t address, std::span<const uint8_t> bytes);
    void SetStuckBits(uint32_t address, uint8_t mask);

    // Statistics for inspection.
    uint32_t eraseCount(unsigned chip, unsigned sector) const;
    uint64_t totalErases() const { return totalErases_; }
    uint64_t totalProgrammedBytes() const { return totalProgrammed_; }

private:
    struct Chip {
        ChipConfig config;
        uint32_t size = 0;
        std::vector<uint32_t> offsets;               // sector starts, then the size
        std::vector<std::vector<uint8_t>> sectors;   // empty: erased
        std::vector<uint32_t> erases;
    };
    struct Stuck {
        uint32_t address;
        uint8_t mask;
    };
    const Chip* ChipAt(uint32_t address, unsigned* index) const;
    std::vector<uint8_t>& SectorData(Chip& chip, unsigned sector);
    uint8_t StuckMask(uint32_t address) const;
    // Calls fn(sector data, offset in sector, offset in the input, count) for
    // each sector part of [address, address + count) that lies in a chip.
    template <typename Fn>
    void ForEachSectorPart(uint32_t address, std::size_t count, Fn&& fn);

    std::vector<Chip> chips_;
    std::vector<Stuck> stuck_;
    uint64_t totalErases_ = 0;
    uint64_t totalProgrammed_ = 0;
};

}  // namespace flashwire::sim
