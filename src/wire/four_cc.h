// Four-character codes: a 32-bit value whose bytes, lowest-order first, are
// four ASCII characters, which is also their order on the wire ("sync" is
// 's' 'y' 'n' 'c' on the line and 0x636E7973 in memory).
#pragma once

#include <cstdint>

namespace flashwire {

constexpr uint32_t FourCC(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

// The character at wire position i (0..3), for "%c%c%c%c" log lines.
constexpr char FourCCChar(uint32_t code, int i) {
    return static_cast<char>((code >> (8 * i)) & 0xFFu);
}

// Writes the four bytes of a 4CC in wire order.
constexpr void StoreFourCC(uint32_t code, uint8_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(code >> (8 * i));
}

static_assert(FourCC("sync") == 0x636E7973u, "4CCs keep their characters in wire order");

}  // namespace flashwire
