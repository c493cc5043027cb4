#include "wire/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace flashwire {
namespace {

std::span<const uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The definition, one bit at a time: register seeded with 1, no final XOR.
uint32_t BitwiseCrc(std::span<const uint8_t> bytes) {
    uint32_t crc = 1;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

TEST(Crc32, CheckValues) {
    EXPECT_EQ(Crc32(Bytes("123456789")), 0x3A8639CBu);
    EXPECT_EQ(Crc32(Bytes("abc")), 0xCBA7F2E7u);
    EXPECT_EQ(Crc32({}), 0x00000001u);
    // The "data" payload for 0x00080000 with 01 02 03 04.
    const std::vector<uint8_t> payload = {0x00, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 1, 2, 3, 4};
    EXPECT_EQ(Crc32(payload), 0x9B4026B0u);
}

// Every length and alignment around the eight-byte steps agrees with the
// bitwise definition, so the wide path and the tail path join correctly.
TEST(Crc32, AgreesWithBitwiseDefinitionForEveryLengthAndOffset) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data(300);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length = 0; length + offset <= data.size(); ++length) {
            const std::span<const uint8_t> s(data.data() + offset, length);
            ASSERT_EQ(Crc32(s), BitwiseCrc(s)) << "offset " << offset << " length " << length;
        }
    }
    const std::vector<uint8_t> ones(4096, 0xFF);
    EXPECT_EQ(Crc32(ones), BitwiseCrc(ones));
}

}  // namespace
}  // namespace flashwire
