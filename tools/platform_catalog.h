// The command line's own look at the data directory: the platforms of
// "platform.def" with their boot loader, loaders and flash banks (flashwire
// platforms), and why a platform could not be read.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace flashwire::cli {

struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;  // in file order
    // The value of a key (any case), or empty.
    std::string Value(const std::string& key) const;
};

// Reads an INI file (at most 1 MiB); false with the reason in words.
bool LoadIniFile(const std::string& path, std::vector<IniSection>& sections, std::string& error);

struct PlatformSummary {
    std::string name;
    std::string bootLoader;   // "active", "passive" or the text found
    std::string memoryInterface;
    std::string setupLoader;  // file, or empty
    std::string flashLoader;
    std::vector<std::string> banks;  // "0x00000000 8 MiB"
    std::vector<std::string> chips;  // the simulated phone's chips, described by flash.types
};

// The platforms of <dir>/platform.def; false with the reason in words.
bool ReadPlatforms(const std::string& directory, std::vector<PlatformSummary>& platforms, std::string& error);

// After a job ended with ERR_BAD_PLATFORM: which file was not found where, or
// that the platform is not one of those the file defines (listing them);
// empty when the file and the section are there (the library's lines then
// name the key).
std::string BadPlatformNote(const std::string& directory, const std::string& platform);

}  // namespace flashwire::cli
