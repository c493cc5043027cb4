#include "srec_image.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace flashwire::station {

uint32_t Crc32(const uint8_t* data, std::size_t size, uint32_t crc) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

namespace {

bool FileStamp(const std::string& path, int64_t& size, int64_t& mtimeNs) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    size = st.st_size;
    mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

}  // namespace

bool ImageFileChanged(const std::string& path, const SrecImage& image) {
    int64_t size = 0, mtime = 0;
    return !FileStamp(path, size, mtime) || size != image.fileSize || mtime != image.fileMtimeNs;
}

bool ReadSrecImage(const std::string& path, SrecImage& image, std::string& error) {
    FileStamp(path, image.fileSize, image.fileMtimeNs);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the image " + path;
        return false;
    }
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::size_t>(in.tellg());
    if (size > (256u << 20)) {
        error = "the image " + path + " is larger than 256 MiB";
        return false;
    }
    in.seekg(0);
    std::string text(size, '\0');
    in.read(text.data(), static_cast<std::streamsize>(size));
    image.fileCrc32 = Crc32(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    image.regions.clear();

    std::size_t lineNumber = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.size() < 2 || line[0] != 'S' || line[1] < '1' || line[1] > '3') continue;
        const int addressBytes = line[1] - '0' + 1;
        std::vector<uint8_t> bytes;
        for (std::size_t i = 2; i + 1 < line.size(); i += 2) {
            const int hi = Hex(line[i]), lo = Hex(line[i + 1]);
            if (hi < 0 || lo < 0) {
                error = path + " line " + std::to_string(lineNumber) + ": not a hex digit";
                return false;
            }
            bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        uint32_t sum = 0;
        for (uint8_t b : bytes) sum += b;
        if (bytes.empty() || bytes[0] + 1u != bytes.size() || bytes.size() < static_cast<std::size_t>(addressBytes) + 2 ||
            (sum & 0xFFu) != 0xFFu) {
            error = path + " line " + std::to_string(lineNumber) + ": bad length or checksum";
            return false;
        }
        uint32_t address = 0;
        for (int i = 0; i < addressBytes; ++i) address = (address << 8) | bytes[1 + i];
        auto first = bytes.begin() + 1 + addressBytes;
        auto last = bytes.end() - 1;
        // Append to the region this record continues, else start one.
        auto it = image.regions.upper_bound(address);
        if (it != image.regions.begin()) {
            auto prev = std::prev(it);
            if (prev->first + prev->second.size() == address) {
                prev->second.insert(prev->second.end(), first, last);
                continue;
            }
        }
        auto& region = image.regions[address];
        region.assign(first, last);
    }
    return true;
}

bool FirstDifference(const SrecImage& expected, const SrecImage& actual, uint32_t& address, std::string& detail) {
    for (const auto& [base, bytes] : expected.regions) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const uint32_t at = base + static_cast<uint32_t>(i);
            auto it = actual.regions.upper_bound(at);
            bool found = false;
            uint8_t value = 0;
            if (it != actual.regions.begin()) {
                auto r = std::prev(it);
                if (at - r->first < r->second.size()) {
                    found = true;
                    value = r->second[at - r->first];
                }
            }
            if (!found || value != bytes[i]) {
                address = at;
                char text[96];
                if (found) {
                    std::snprintf(text, sizeof text, "read back 0x%02x at 0x%08x, the image has 0x%02x", value, at,
                                  bytes[i]);
                } else {
                    std::snprintf(text, sizeof text, "0x%08x was not read back", at);
                }
                detail = text;
                return true;
            }
        }
    }
    return false;
}

}  // namespace flashwire::station
