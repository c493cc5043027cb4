// Upper-case hexadecimal text of bytes.
#pragma once

#include <cstdint>

namespace flashwire {

// Writes the two upper-case hex digits of value at text (high nibble first,
// no terminating NUL) and returns 2.
uint32_t HexByte(char* text, uint8_t value);

}  // namespace flashwire
