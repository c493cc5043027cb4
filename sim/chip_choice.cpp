// Chips of "flash.types" for a flash definition that names none.
#include "sim/chip_choice.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <string_view>

#include "catalog/flash_type.h"

namespace flashwire::sim {
namespace {

// Bytes of "flash.types" read at most, as the library's INI reader does.
constexpr std::size_t kMaxFileBytes = 16u << 20;
constexpr std::size_t kMaxKeys = 4096;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool IsSection(std::string_view header, std::string_view name) {
    if (header.size() != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != name[i]) return false;
    return true;
}

// The keys of [Description] in file order, as the INI reader sees them
// (blanks trimmed, ';' comments, section names in any case).
std::vector<std::string> DescriptionKeys(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    std::array<char, 4096> chunk{};
    while (in && text.size() < kMaxFileBytes) {
        in.read(chunk.data(), chunk.size());
        text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    std::string_view rest(text.data(), std::min(text.size(), kMaxFileBytes));
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);  // UTF-8 mark
    std::vector<std::string> keys;
    bool inSection = false;
    while (!rest.empty() && keys.size() < kMaxKeys) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = Trim(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close != std::string_view::npos) inSection = IsSection(Trim(line.substr(1, close - 1)), "description");
            continue;
        }
        const std::size_t eq = line.find('=');
        if (inSection && eq != std::string_view::npos) keys.emplace_back(Trim(line.substr(0, eq)));
    }
    return keys;
}

}  // namespace

std::vector<OfferedChip> OfferedChips(const std::string& configDir) {
    const std::string dir = configDir.empty() || configDir.back() == '/' ? configDir : configDir + "/";
    std::vector<OfferedChip> offered;
    for (const std::string& key : DescriptionKeys(dir + "flash.types")) {
        unsigned maker = 0;
        unsigned long device = 0;
        char tail = 0;
        if (std::sscanf(key.c_str(), "0x%4x_0x%8lx%c", &maker, &device, &tail) != 2 || maker > 0xFF) continue;
        const FlashType chip(static_cast<uint16_t>(maker), static_cast<uint32_t>(device), dir);
        if (!chip.IsKnown() || chip.GetBoundaryCount() < 2) continue;
        char canonical[32];  // the key the host looks the chip up by
        std::snprintf(canonical, sizeof canonical, "0x%04x_0x%08lx", maker, device);
        bool seen = false;
        for (const OfferedChip& o : offered) seen |= o.key == canonical;
        if (!seen) offered.push_back({canonical, chip.GetSectorOffsets()[chip.GetBoundaryCount() - 1]});
    }
    return offered;
}

std::vector<std::string> ChipsFilling(std::span<const OfferedChip> offered, uint64_t size, std::size_t maxChips) {
    if (size == 0) return {};
    const OfferedChip* best = nullptr;
    for (const OfferedChip& chip : offered)
        if (chip.size != 0 && size % chip.size == 0 && (!best || chip.size > best->size)) best = &chip;
    if (!best || size / best->size > maxChips) return {};
    return std::vector<std::string>(static_cast<std::size_t>(size / best->size), best->key);
}

}  // namespace flashwire::sim
