// The rules that connect address range lists with the detected flash chips:
// the inside-flash check, range subtraction, the chip and sector of an
// address, and the flags a sector is opened with.
#pragma once

#include <cstdint>

#include "flashwire/flash_api.h"
#include "state/job_state.h"

namespace flashwire {


// Removes from list every address that removeList covers, in place; count is
// updated and the result sorted. list must have room for count + removeCount
// entries (each range removed splits at most one entry in two); returns false
// (list unchanged from that point) if a split would exceed capacity.
bool SubtractRanges(AddressRange* list, uint32_t& count, uint32_t capacity, const AddressRange* removeList,
                    uint32_t removeCount);

// True when every range lies inside the chips; otherwise reports "Data
// outside flash memory:" and each address range outside (level 2).
bool CheckInsideFlash(JobState& ctx, const AddressRange* ranges, uint32_t count);

struct SectorLocation {
    uint32_t chip = 0;
    uint32_t sector = 0;
    uint32_t first = 0;   // the sector's first address
    uint32_t length = 0;  // its length in bytes
};

// The first chip in table order holding address, and its sector.
bool FindChipSector(const FlashChip* chips, uint32_t chipCount, uint32_t address, SectorLocation& out);

// Flags sent with "OPEN".
enum OpenFlag : uint8_t {
    kOpenStandard = 0x01,       // without extra protection
    kOpenPartial = 0x02,        // the sector is not wholly inside the range written
    kOpenExtProtect = 0x08,     // extra protection: the host erases before closing
    kOpenStandardHigh = 0x10,   // without extra protection
};

// The flags for a sector [sectorFirst, +sectorLength) entered while writing
// the range [rangeFirst, rangeLast].
uint8_t SectorOpenFlags(bool extProtect, uint32_t sectorFirst, uint32_t sectorLength, uint32_t rangeFirst,
                        uint32_t rangeLast);

}  // namespace flashwire
