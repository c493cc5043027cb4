// NOR flash semantics: erased 0xFF, programming ANDs, sector erase.
#include "sim/nor_flash.h"

#include <algorithm>

namespace flashwire::sim {

NorFlash::NorFlash(const std::vector<ChipConfig>& chips, std::string* error) {
    auto fail = [&](const std::string& why) {
        chips_.clear();
        if (error) *error = why;
    };
    for (const ChipConfig& c : chips) {
        Chip chip;
        chip.config = c;
        uint64_t size = 0;
        chip.offsets.push_back(0);
        for (uint32_t s : c.sectorSizes) {
            if (s == 0) {
                fail("chip " + c.name + ": a sector of size 0");
                return;
            }
            size += s;
            if (size > 0x100000000ull) {
                fail("chip " + c.name + ": larger than 4 GiB");
                return;
            }
            chip.offsets.push_back(static_cast<uint32_t>(size));
        }
        if (size == 0) {
            fail("chip " + c.name + ": no sectors");
            return;
        }
        if (c.firstAddress + size > 0x100000000ull) {
            fail("chip " + c.name + ": runs past the end of the address space");
            return;
        }
        chip.size = static_cast<uint32_t>(size);
        chip.sectors.resize(c.sectorSizes.size());
        chip.erases.assign(c.sectorSizes.size(), 0);
        for (const Chip& other : chips_) {
            const uint64_t a = c.firstAddress, b = a + size;
            const uint64_t oa = other.config.firstAddress, ob = oa + other.size;
            if (a < ob && oa < b) {
                fail("chips " + other.config.name + " and " + c.name + " overlap");
                return;
            }
        }
        chips_.push_back(std::move(chip));
    }
}

unsigned NorFlash::sectorCount(unsigned chip) const {
    return chip < chips_.size() ? static_cast<unsigned>(chips_[chip].sectors.size()) : 0;
}

std::optional<SectorRef> NorFlash::Sector(unsigned chip, unsigned sector) const {
    if (chip >= chips_.size() || sector >= chips_[chip].sectors.size()) return std::nullopt;
    const Chip& c = chips_[chip];
    return SectorRef{chip, sector, c.config.firstAddress + c.offsets[sector],
                     c.offsets[sector + 1] - c.offsets[sector]};
}

const NorFlash::Chip* NorFlash::ChipAt(uint32_t address, unsigned* index) const {
    for (unsigned i = 0; i < chips_.size(); ++i) {
        const Chip& c = chips_[i];
        if (address >= c.config.firstAddress && address - c.config.firstAddress < c.size) {
            if (index) *index = i;
            return &c;
        }
    }
    return nullptr;
}

std::optional<SectorRef> NorFlash::FindSector(uint32_t address) const {
    unsigned ci = 0;
    const Chip* c = ChipAt(address, &ci);
    if (!c) return std::nullopt;
    const uint32_t off = address - c->config.firstAddress;
    auto it = std::upper_bound(c->offsets.begin(), c->offsets.end(), off);
    const unsigned s = static_cast<unsigned>(it - c->offsets.begin()) - 1;
    return Sector(ci, s);
}

bool NorFlash::Contains(uint32_t first, uint64_t length) const {
    uint64_t a = first;
    const uint64_t end = static_cast<uint64_t>(first) + length;
    if (end > 0x100000000ull) return false;
    if (length == 0) return ChipAt(first, nullptr) != nullptr;
    while (a < end) {
        const Chip* c = ChipAt(static_cast<uint32_t>(a), nullptr);
        if (!c) return false;
        a = static_cast<uint64_t>(c->config.firstAddress) + c->size;
    }
    return true;
}

uint8_t NorFlash::StuckMask(uint32_t address) const {
    uint8_t m = 0;
    for (const Stuck& s : stuck_)
        if (s.address == address) m |= s.mask;
    return m;
}

uint8_t NorFlash::ReadByte(uint32_t address) const {
    unsigned ci = 0;
    const Chip* c = ChipAt(address, &ci);
    if (!c) return 0xFF;
    const uint32_t off = address - c->config.firstAddress;
    auto it = std::upper_bound(c->offsets.begin(), c->offsets.end(), off);
    const unsigned s = static_cast<unsigned>(it - c->offsets.begin()) - 1;
    const std::vector<uint8_t>& data = c->sectors[s];
    const uint8_t v = data.empty() ? 0xFF : data[off - c->offsets[s]];
    return static_cast<uint8_t>(v & ~StuckMask(address));
}

std::vector<uint8_t> NorFlash::Read(uint32_t first, uint32_t length) const {
    std::vector<uint8_t> out(length, 0xFF);
    uint64_t a = first;
    const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(first) + length, 0x100000000ull);
    while (a < end) {
        const auto sec = FindSector(static_cast<uint32_t>(a));
        if (!sec) {
            ++a;
            continue;
        }
        const std::vector<uint8_t>& data = chips_[sec->chip].sectors[sec->sector];
        const uint64_t stop = std::min<uint64_t>(end, static_cast<uint64_t>(sec->first) + sec->size);
        if (!data.empty()) {
            std::copy(data.begin() + static_cast<std::ptrdiff_t>(a - sec->first),
                      data.begin() + static_cast<std::ptrdiff_t>(stop - sec->first),
                      out.begin() + static_cast<std::ptrdiff_t>(a - first));
        }
        a = stop;
    }
    for (const Stuck& s : stuck_)
        if (s.address >= first && s.address - first < length) out[s.address - first] &= static_cast<uint8_t>(~s.mask);
    return out;
}

std::vector<uint8_t>& NorFlash::SectorData(Chip& chip, unsigned sector) {
    std::vector<uint8_t>& data = chip.sectors[sector];
    if (data.empty()) data.assign(chip.offsets[sector + 1] - chip.offsets[sector], 0xFF);
    return data;
}

template <typename Fn>
void NorFlash::ForEachSectorPart(uint32_t address, std::size_t count, Fn&& fn) {
    uint64_t a = address;
    const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(address) + count, 0x100000000ull);
    while (a < end) {
        const auto sec = FindSector(static_cast<uint32_t>(a));
        if (!sec) {
            ++a;
            continue;
        }
        const uint64_t stop = std::min<uint64_t>(end, static_cast<uint64_t>(sec->first) + sec->size);
        fn(SectorData(chips_[sec->chip], sec->sector), static_cast<std::size_t>(a - sec->first),
           static_cast<std::size_t>(a - address), static_cast<std::size_t>(stop - a));
        a = stop;
    }
}

uint64_t NorFlash::Program(uint32_t address, std::span<const uint8_t> bytes) {
    uint64_t programmed = 0;
    ForEachSectorPart(address, bytes.size(),
                      [&](std::vector<uint8_t>& data, std::size_t at, std::size_t from, std::size_t n) {
                          for (std::size_t i = 0; i < n; ++i) {
                              const uint8_t b = bytes[from + i];
                              if (b == 0xFF) continue;
                              data[at + i] &= b;
                              ++programmed;
                          }
                      });
    totalProgrammed_ += programmed;
    return programmed;
}

void NorFlash::EraseSector(const SectorRef& sector) {
    if (sector.chip >= chips_.size() || sector.sector >= chips_[sector.chip].sectors.size()) return;
    Chip& c = chips_[sector.chip];
    c.sectors[sector.sector].clear();
    c.sectors[sector.sector].shrink_to_fit();
    ++c.erases[sector.sector];
    ++totalErases_;
}

void NorFlash::Store(uint32_t address, std::span<const uint8_t> bytes) {
    ForEachSectorPart(address, bytes.size(),
                      [&](std::vector<uint8_t>& data, std::size_t at, std::size_t from, std::size_t n) {
                          std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from), n,
                                      data.begin() + static_cast<std::ptrdiff_t>(at));
                      });
}

void NorFlash::SetStuckBits(uint32_t address, uint8_t mask) { stuck_.push_back({address, mask}); }

uint32_t NorFlash::eraseCount(unsigned chip, unsigned sector) const {
    if (chip >= chips_.size() || sector >= chips_[chip].erases.size()) return 0;
    return chips_[chip].erases[sector];
}

}  // namespace flashwire::sim
