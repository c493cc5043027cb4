// CRC-32 of framed messages and of the verify comparison: the reflected
// CRC-32 table (polynomial 0xEDB88320), register seeded with 1, no final XOR.
#pragma once

#include <cstdint>
#include <span>

namespace flashwire {

// Computed afresh over one contiguous buffer; an empty buffer gives 1.
uint32_t Crc32(std::span<const uint8_t> bytes);

}  // namespace flashwire
