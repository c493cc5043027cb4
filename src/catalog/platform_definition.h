// The platform section of "platform.def": boot-loader kind, loader files and
// their load addresses, flash banks.
#pragma once

#include <cstdint>
#include <string_view>

namespace flashwire {

struct Session;
struct PlatformInfo;
struct RegionList;

// Where the platform is read from: the file, the section named by the job's
// platform option and the data directory that relative loader paths start in.
struct PlatformSource {
    std::string_view file;
    std::string_view section;
    std::string_view dataDirectory;
};

// Reads and checks the section source.section of source.file, fills platform
// and places the image list's buffers.
// False after a debug line naming the problem (the job then ends with
// ERR_BAD_PLATFORM).
bool ReadPlatformDefinition(Session& session, const PlatformSource& source, PlatformInfo& platform,
                            RegionList& image);

// A number of "platform.def": the hexadecimal number after the first "0x" or
// "0X" anywhere in the text, else the decimal number at its start; leading
// blanks skipped, reading stops at the first other character. Text holding
// no number reads as 0; a number too large for 32 bits reads as 0xFFFFFFFF.
uint32_t ParsePlatformNumber(std::string_view text);

// A plain decimal number ("MIT", "ChipDesc"), by the same rules without the
// hexadecimal marker.
uint32_t ParseDecimalNumber(std::string_view text);

}  // namespace flashwire
