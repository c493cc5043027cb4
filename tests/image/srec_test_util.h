// Building S-record lines for tests, with the checksum computed here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace flashwire::testing {

// One record of the type ('1', '2' or '3') at address with data; the
// checksum is corrected by checksumDelta to make it wrong on purpose.
inline std::string Record(char type, uint32_t address, const std::vector<uint8_t>& data,
                          int checksumDelta = 0) {
    const unsigned addressBytes = static_cast<unsigned>(type - '0') + 1;
    const unsigned count = addressBytes + 1 + static_cast<unsigned>(data.size());
    std::string line = "S";
    line += type;
    char hex[3];
    unsigned sum = count;
    std::snprintf(hex, sizeof hex, "%02X", count);
    line += hex;
    for (int i = static_cast<int>(addressBytes) - 1; i >= 0; --i) {
        const unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    for (uint8_t b : data) {
        sum += b;
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>((~sum + checksumDelta) & 0xFF));
    line += hex;
    return line + "\n";
}

inline std::vector<uint8_t> Bytes(uint8_t start, std::size_t n) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i);
    return v;
}

}  // namespace flashwire::testing
