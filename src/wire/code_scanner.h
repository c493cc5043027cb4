// The byte-stream scanner that finds four-character codes in what the phone
// sends on the active port. Used by the boot loader framing and the flash
// loader exchange.
#pragma once

#include <cstdint>
#include <span>

namespace flashwire {

struct Session;

// Reads one byte at a time (5 ms read time-out) until the last four bytes
// received in this call equal one of the listed 4CCs (list order decides
// between equal entries); stores it in found. Returns SUCCESS, ERR_ABORT on
// the host's abort request or ERR_TIMEOUT after timeoutMs. The port's read
// time-out is restored on every way out.
uint32_t ScanFor4CCs(Session& ctx, std::span<const uint32_t> codes, uint32_t timeoutMs,
                     uint32_t& found);

// ScanFor4CCs with a list of one.
uint32_t ScanFor4CC(Session& ctx, uint32_t code, uint32_t timeoutMs);

}  // namespace flashwire
