// The three per-block exchanges of the active boot loader's RAM loading, and
// the block checksum. Block numbers and checksums go high byte first.
#pragma once

#include <cstdint>
#include <span>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kRamBlockSize = 4096;
// The block number that marks the end of the image.
inline constexpr uint16_t kEndOfImageBlock = 0xFFFF;

// The 16-bit sum of the bytes, complemented.
uint16_t BlockChecksum(std::span<const uint8_t> bytes);

// Block i of the list's first buffer, the flash loader buffer (offset
// i * 4096), or an empty span when the buffer does not hold the whole block.
std::span<const uint8_t> RamBlock(const RegionList& list, uint32_t block);

// 'b' and the number; the phone answers 'B' and the number ('P' for the end
// marker 0xFFFF). SUCCESS or ERR_PROTOCOL.
uint32_t SendBlockNumber(JobState& ctx, uint32_t block);
// The 4096 bytes of the block. SUCCESS or ERR_PROTOCOL.
uint32_t SendBlockData(JobState& ctx, uint32_t block);
// 'c' and the checksum; the phone answers 'N', or 'T'/'F' and two bytes
// (ERR_CRC, also stored in protocolCause). SUCCESS, ERR_CRC or ERR_PROTOCOL.
uint32_t SendBlockChecksum(JobState& ctx, uint32_t block);

}  // namespace flashwire
