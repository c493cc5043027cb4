// Image files for the simulated phone's tests, benchmarks and tools: a
// repeatable byte pattern, S3 record files written from bytes by address, and
// the data bytes of an S-record file read back by address. For files these
// programs wrote themselves; the library's own reader and writer are the ones
// under test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace flashwire::sim {

// Bytes at phone addresses; chunks must not overlap.
using ImageBytes = std::map<uint32_t, std::vector<uint8_t>>;

// n bytes of a linear congruential sequence started from seed.
inline std::vector<uint8_t> Pattern(std::size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

// An S-record file of the image: a header line, S3 records of up to 32 data
// bytes, a termination line.
inline void WriteS3File(const std::string& path, const ImageBytes& image) {
    std::ofstream out(path, std::ios::binary);
    out << "S00600004844521B\n";
    char text[8];
    for (const auto& [base, bytes] : image) {
        for (std::size_t at = 0; at < bytes.size(); at += 32) {
            const std::size_t n = std::min<std::size_t>(32, bytes.size() - at);
            const uint32_t address = base + static_cast<uint32_t>(at);
            unsigned sum = static_cast<unsigned>(n + 5);
            std::snprintf(text, sizeof text, "S3%02X", static_cast<unsigned>(n + 5));
            out << text;
            for (int i = 3; i >= 0; --i) {
                const unsigned b = (address >> (8 * i)) & 0xFFu;
                sum += b;
                std::snprintf(text, sizeof text, "%02X", b);
                out << text;
            }
            for (std::size_t i = 0; i < n; ++i) {
                sum += bytes[at + i];
                std::snprintf(text, sizeof text, "%02X", bytes[at + i]);
                out << text;
            }
            std::snprintf(text, sizeof text, "%02X\n", (~sum) & 0xFFu);
            out << text;
        }
    }
    out << "S70500000000FA\n";
}

// The data records of an S-record file (S1/S2/S3) as address -> byte.
inline std::map<uint32_t, uint8_t> ReadSRecordBytes(const std::string& path) {
    std::map<uint32_t, uint8_t> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 4 || line[0] != 'S' || line[1] < '1' || line[1] > '3') continue;
        const unsigned addressBytes = static_cast<unsigned>(line[1] - '0') + 1;
        auto byteAt = [&](std::size_t i) { return static_cast<uint8_t>(std::stoul(line.substr(2 + 2 * i, 2), nullptr, 16)); };
        const unsigned count = byteAt(0);
        uint32_t address = 0;
        for (unsigned i = 0; i < addressBytes; ++i) address = address << 8 | byteAt(1 + i);
        for (unsigned i = 1 + addressBytes; i < count; ++i) out[address++] = byteAt(i);
    }
    return out;
}

}  // namespace flashwire::sim
