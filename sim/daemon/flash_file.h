// The flash file: the contents of the simulated phone's flash chips kept
// between two runs of the daemon.
//
// Format: the raw bytes of every chip, in the phone's chip order (bank 0
// first), concatenated with nothing in between: no header, no padding. The
// file is exactly as long as all chips together; byte k of chip i lies at
// offset (size of chips 0 .. i-1) + k. A file of another length belongs to
// another phone and is refused, never loaded in part.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace flashwire::simd {

enum class FlashFileLoad { Loaded, Missing, Failed };

// Reads the whole file at path into contents. Missing when there is no file;
// Failed with a message when it cannot be read or is not expectedSize bytes
// long (contents is then empty).
FlashFileLoad LoadFlashFile(const std::string& path, uint64_t expectedSize, std::vector<uint8_t>& contents,
                            std::string& error);

// Supplies the file's contents piece by piece: fills piece and returns true,
// or returns false when there is nothing more.
using FlashPieceSource = std::function<bool(std::vector<uint8_t>& piece)>;

// Writes the pieces, one behind the other, to path atomically: a temporary
// file beside it, flushed to disk, then renamed over it. If path is a
// symbolic link the file it points to is replaced and the link stays. False
// with a message on failure (the old file is then unchanged).
bool SaveFlashFile(const std::string& path, const FlashPieceSource& nextPiece, std::string& error);

}  // namespace flashwire::simd
