// The job plan: what the host's options ask of one job, read once from the
// checked copy of the options when the job starts. The job driver settles it
// (ports, sorted ranges) before the phases run; nothing below the driver reads
// the packed options record, and the host's record is never written.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "flashwire/flash_api.h"

namespace flashwire {

struct JobPlan {
    std::string platform;  // the section of "platform.def"
    std::string file;      // the image to flash or verify
    std::string saveFile;  // where a read job saves
    uint32_t comPort[2] = {FLASH_PORT_UNUSED, FLASH_PORT_UNUSED};
    uint32_t maxSpeed[2] = {0, 0};
    uint32_t mode = 0;
    uint32_t erasePasses = 1;
    uint32_t phases = 0;
    uint32_t reservedCount = 0;
    std::array<AddressRange, FLASH_MAX_RANGES> reserved{};
    uint32_t readCount = 0;
    std::array<AddressRange, FLASH_MAX_RANGES> read{};
    bool debug = false;
    bool eraseUnused = false;
    bool extProtect = false;
    bool noRetry = false;
    bool unattended = false;
    bool diff = false;

    std::span<const AddressRange> ReservedRanges() const {
        return {reserved.data(), std::min<std::size_t>(reservedCount, FLASH_MAX_RANGES)};
    }
    std::span<const AddressRange> ReadRanges() const {
        return {read.data(), std::min<std::size_t>(readCount, FLASH_MAX_RANGES)};
    }
};

void SetDefaultOptions(FlashOptions& options);

// Copies the options member by member (the record is packed); texts are cut
// at their field's size, range counts at FLASH_MAX_RANGES.
JobPlan MakeJobPlan(const FlashOptions& options);

}  // namespace flashwire
