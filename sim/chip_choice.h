// The chips of "flash.types" that fill a flash definition for which the
// platform's section names none (no "SimChip<n>"):
//
// of the chips the host can use (every chip of [Description] that the
// library's FlashType resolves, manufacturer ID at most 0xFF), in the order
// of their keys in [Description], the phone takes the largest whose size
// divides the definition's size, repeated until the definition is filled;
// among chips of the same size the first in the file. A chip of exactly the
// definition's size is thus preferred to several smaller ones. Nothing fits
// when no chip's size divides the definition's, or when filling it would
// take more chips than the phone has room for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace flashwire::sim {

struct OfferedChip {
    std::string key;    // "0x0042_0x00002201"
    uint64_t size = 0;  // bytes
};

// The chips of configDir's "flash.types" the host can use, in file order.
std::vector<OfferedChip> OfferedChips(const std::string& configDir);

// The keys of the chips that fill size bytes, in their order from the
// definition's base, at most maxChips of them; empty when nothing fits.
std::vector<std::string> ChipsFilling(std::span<const OfferedChip> offered, uint64_t size, std::size_t maxChips);

}  // namespace flashwire::sim
