// Upper-case hexadecimal text of bytes.
#include "image/hex_byte.h"

namespace flashwire {

uint32_t HexByte(char* text, uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text[0] = kDigits[value >> 4];
    text[1] = kDigits[value & 0x0F];
    return 2;
}

}  // namespace flashwire
