// What the station needs to know of an S-record image: its bytes by address
// (for the read-back compare and its ranges) and the CRC-32 of the file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace flashwire::station {

struct SrecImage {
    std::map<uint32_t, std::vector<uint8_t>> regions;  // first address -> contiguous bytes
    uint32_t fileCrc32 = 0;
    int64_t fileSize = -1;   // what the file was when read: a change is
    int64_t fileMtimeNs = -1;  // seen before the next phone
};

// True when the file's size or modification time differs from the image's.
bool ImageFileChanged(const std::string& path, const SrecImage& image);

// Reads S1/S2/S3 data records (checksums checked; other records skipped).
// Files above 256 MiB are refused.
bool ReadSrecImage(const std::string& path, SrecImage& image, std::string& error);

// The first address where actual differs from expected (every byte of
// expected must be present in actual); false when they agree.
bool FirstDifference(const SrecImage& expected, const SrecImage& actual, uint32_t& address, std::string& detail);

uint32_t Crc32(const uint8_t* data, std::size_t size, uint32_t crc = 0);

}  // namespace flashwire::station
