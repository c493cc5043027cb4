#include "platform_catalog.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace flashwire::cli {
namespace {

constexpr std::uintmax_t kMaxIniBytes = 1024 * 1024;

std::string Trim(std::string text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && blank(text[start])) ++start;
    return text.substr(start);
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Banks(const std::string& value, bool mit1) {
    // base,size[,attribute]: size in MiB.
    const std::size_t comma = value.find(',');
    if (comma == std::string::npos) return value + " (not base,size)";
    const std::string base = Trim(value.substr(0, comma));
    std::string size = Trim(value.substr(comma + 1));
    if (!mit1) size = size.substr(0, size.find(','));
    return base + ", " + size + " MiB";
}

}  // namespace

std::string IniSection::Value(const std::string& key) const {
    for (const auto& [k, v] : values)
        if (SameIgnoringCase(k, key)) return v;
    return {};
}

bool LoadIniFile(const std::string& path, std::vector<IniSection>& sections, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        error = path + " not found";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        error = path + " is not a file";
        return false;
    }
    if (fs::file_size(path, ec) > kMaxIniBytes) {
        error = path + " is larger than 1 MiB";
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    sections.clear();
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            sections.push_back({Trim(line.substr(1, line.size() - 2)), {}});
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || sections.empty()) continue;
        sections.back().values.emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
    return true;
}

bool ReadPlatforms(const std::string& directory, std::vector<PlatformSummary>& platforms, std::string& error) {
    namespace fs = std::filesystem;
    std::vector<IniSection> sections;
    if (!LoadIniFile((fs::path(directory) / "platform.def").string(), sections, error)) return false;
    std::vector<IniSection> types;
    std::string ignored;
    LoadIniFile((fs::path(directory) / "flash.types").string(), types, ignored);
    const IniSection* descriptions = nullptr;
    for (const IniSection& s : types)
        if (SameIgnoringCase(s.name, "Description")) descriptions = &s;

    platforms.clear();
    for (const IniSection& s : sections) {
        PlatformSummary p;
        p.name = s.name;
        const std::string mit = s.Value("MIT").empty() ? "0" : s.Value("MIT");
        p.memoryInterface = mit;
        p.bootLoader = mit == "1" ? "passive" : s.Value("BootLoader");
        std::transform(p.bootLoader.begin(), p.bootLoader.end(), p.bootLoader.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (s.Value("SetupLoaderIgnore").empty() || s.Value("SetupLoaderIgnore") == "0")
            p.setupLoader = s.Value("SetupLoader");
        p.flashLoader = s.Value("FlashLoader");
        for (int i = 0; i < 4; ++i) {
            const std::string bank = s.Value("Flash" + std::to_string(i));
            if (bank.empty()) break;
            p.banks.push_back(Banks(bank, mit == "1"));
            std::string chips = s.Value("SimChip" + std::to_string(i));
            while (!chips.empty()) {
                const std::size_t comma = chips.find(',');
                const std::string key = Trim(chips.substr(0, comma));
                const std::string description = descriptions ? descriptions->Value(key) : std::string();
                p.chips.push_back(description.empty() ? key : key + " " + description);
                chips = comma == std::string::npos ? std::string() : chips.substr(comma + 1);
            }
        }
        platforms.push_back(std::move(p));
    }
    return true;
}

std::string BadPlatformNote(const std::string& directory, const std::string& platform) {
    namespace fs = std::filesystem;
    const std::string path = (fs::path(directory) / "platform.def").string();
    std::vector<IniSection> sections;
    std::string error;
    if (!LoadIniFile(path, sections, error))
        return error + " (the data directory is " + directory + "; --config-dir chooses another)";
    std::string names;
    const IniSection* found = nullptr;
    for (const IniSection& s : sections) {
        if (s.name == platform) found = &s;
        names += (names.empty() ? "" : ", ") + s.name;
    }
    if (platform.empty())
        return "no platform given (/platform=NAME or --platform NAME); " + path + " defines: " +
               (names.empty() ? "none" : names);
    if (found == nullptr)
        return "platform \"" + platform + "\" is not defined in " + path + "; it defines: " +
               (names.empty() ? "none" : names);
    const std::string loader = found->Value("FlashLoader");
    if (loader.empty()) return "[" + platform + "] of " + path + " has no FlashLoader key";
    return {};
}

}  // namespace flashwire::cli
