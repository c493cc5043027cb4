// Reading values from INI files ("platform.def", "flash.types").
#pragma once

#include <string>
#include <string_view>

namespace flashwire {

// The value of key in section of the file at path, or defaultValue when the
// file, the section or the key is missing; at most 255 characters. Section and
// key names are compared ignoring case, blanks around names and values are
// trimmed, the first occurrence of a key wins, lines starting with ';' are
// comments.
std::string ReadIniValue(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view defaultValue);

}  // namespace flashwire
