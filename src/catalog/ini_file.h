// Reading values from INI files ("platform.def", "flash.types").
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace flashwire {

// Values are cut to this many characters.
inline constexpr std::size_t kMaxIniValue = 255;

// The value of key in section of the file at path, or defaultValue when the
// file, the section or the key is missing; at most 255 characters. Section and
// key names are compared ignoring case, blanks around names and values are
// trimmed, the first occurrence of a key wins, lines starting with ';' are
// comments. The file is read through files (the session's, where there is one).
std::string ReadIniValue(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view defaultValue, platform::FileSystem& files = platform::StandardFiles());

// The same lookup, telling apart a missing key and a value that had to be cut
// to 255 characters (callers that copy a value into a fixed field refuse such
// a value instead of using a shortened one).
struct IniLookup {
    bool found = false;      // the key exists in the section
    bool truncated = false;  // the value was longer than kMaxIniValue and was cut
    std::string value;       // empty unless found
};
IniLookup LookupIniValue(const std::string& path, std::string_view section, std::string_view key,
                         platform::FileSystem& files = platform::StandardFiles());

}  // namespace flashwire
