// Table-driven CRC-32, eight bytes per step ("slicing by eight"). Each table
// k answers: the CRC register contribution of one byte followed by k zero
// bytes, so eight table look-ups replace eight one-byte steps.
#include "wire/crc32.h"

#include <array>

#include "wire/le32.h"

namespace flashwire {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr uint32_t kSeed = 1u;

using Table = std::array<std::array<uint32_t, 256>, 8>;

constexpr Table MakeTables() {
    Table t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (std::size_t k = 1; k < t.size(); ++k) {
            const uint32_t prev = t[k - 1][i];
            t[k][i] = t[0][prev & 0xFFu] ^ (prev >> 8);
        }
    }
    return t;
}

constexpr Table kTables = MakeTables();

static_assert(kTables[0][1] == 0x77073096u, "reflected CRC-32 table");
static_assert(kTables[0][255] == 0x2D02EF8Du, "reflected CRC-32 table");

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes) {
    uint32_t crc = kSeed;
    const uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    while (n >= 8) {
        const uint32_t lo = LoadLe32(p) ^ crc;
        const uint32_t hi = LoadLe32(p + 4);
        crc = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^
              kTables[5][(lo >> 16) & 0xFFu] ^ kTables[4][lo >> 24] ^
              kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
              kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) crc = kTables[0][(crc ^ *p++) & 0xFFu] ^ (crc >> 8);
    return crc;
}

}  // namespace flashwire
