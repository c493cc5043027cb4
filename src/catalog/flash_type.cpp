// Looking up a flash chip in "flash.types": description, command set, sector
// layout and programming mode.
#include "catalog/flash_type.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "catalog/ini_file.h"

namespace flashwire {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits into value; false when empty or too large for 32 bits.
bool ParseCount(std::string_view digits, uint32_t& value) {
    if (digits.empty()) return false;
    uint64_t v = 0;
    for (char c : digits) {
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 0xFFFFFFFFu) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

// Copies text into a fixed field; false (field left empty) when it does not fit.
bool CopyField(char (&field)[kFlashTypeTextSize], std::string_view text) {
    field[0] = '\0';
    if (text.size() >= kFlashTypeTextSize) return false;
    std::memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
    return true;
}

}  // namespace

FlashType::FlashType(uint16_t manufacturerId, uint32_t deviceId, std::string_view directory,
                     platform::FileSystem& files)
    : manufacturerId_(manufacturerId), deviceId_(deviceId), files_(&files) {
    description_[0] = '\0';
    boundaryCount_ = 0;
    valid_ = Load(directory);
}

bool FlashType::AppendOffset(uint32_t offset) {
    if (boundaryCount_ >= static_cast<int32_t>(kMaxSectorBoundaries)) return false;
    sectorOffsets_[boundaryCount_++] = offset;
    return true;
}

uint32_t FlashType::Load(std::string_view directory) {
    std::string path(directory);
    path += "flash.types";
    if (!CopyField(typesPath_, path)) return 0;

    char chipKey[32];
    std::snprintf(chipKey, sizeof chipKey, "0x%04x_0x%08lx", static_cast<unsigned>(manufacturerId_),
                  static_cast<unsigned long>(deviceId_));

    const IniLookup description = LookupIniValue(typesPath_, "Description", chipKey, *files_);
    if (description.value.empty()) return 0;
    if (description.truncated || !CopyField(description_, description.value)) return 0;
    return ParseChipInfo(chipKey);
}

uint32_t FlashType::ParseChipInfo(const char* chipKey) {
    const std::string info = ReadIniValue(typesPath_, "ChipInfo", chipKey, "", *files_);
    if (info.empty()) return 0;
    const std::string_view infoView(info);

    const std::size_t comma1 = infoView.find(',');
    if (comma1 == std::string_view::npos) return 0;
    const std::string_view commandSet = infoView.substr(0, comma1);
    if (EqualsIgnoringCase(commandSet, "amd"))
        commandSet_ = 0;
    else if (EqualsIgnoringCase(commandSet, "intel"))
        commandSet_ = 1;
    else
        return 0;

    const std::size_t comma2 = infoView.find(',', comma1 + 1);
    if (comma2 == std::string_view::npos) return 0;
    const std::string_view layoutName = infoView.substr(comma1 + 1, comma2 - comma1 - 1);
    if (layoutName.size() > kMaxLayoutName) return 0;
    const IniLookup layoutLookup = LookupIniValue(typesPath_, "Layouts", layoutName, *files_);
    if (layoutLookup.value.empty() || layoutLookup.truncated) return 0;
    const std::string_view layout(layoutLookup.value);

    // Walk the layout: entries "size" or "size*count", sizes in KiB, separated
    // by commas; nothing else may appear.
    boundaryCount_ = 0;
    AppendOffset(0);
    uint64_t running = 0;
    bool layoutOk = true;
    std::size_t pos = 0;
    while (layoutOk) {
        std::size_t end = layout.find(',', pos);
        if (end == std::string_view::npos) end = layout.size();
        const std::string_view entry = layout.substr(pos, end - pos);
        const std::size_t star = entry.find('*');
        const std::string_view sizeDigits = entry.substr(0, star);
        const std::string_view countDigits =
            star == std::string_view::npos ? std::string_view("1") : entry.substr(star + 1);
        uint32_t sizeKiB = 0;
        uint32_t count = 0;
        for (char c : sizeDigits) layoutOk = layoutOk && IsDigit(c);
        for (char c : countDigits) layoutOk = layoutOk && IsDigit(c);
        layoutOk = layoutOk && ParseCount(sizeDigits, sizeKiB) && ParseCount(countDigits, count) &&
                   count != 0 && sizeKiB != 0;
        for (uint32_t i = 0; layoutOk && i < count; ++i) {
            running += static_cast<uint64_t>(sizeKiB) * 1024u;
            // The offsets are 32-bit, and the table holds 1023 sectors.
            layoutOk = running <= 0xFFFFFFFFu && AppendOffset(static_cast<uint32_t>(running));
        }
        if (end == layout.size()) break;
        pos = end + 1;
    }

    const std::string_view mode = infoView.substr(comma2 + 1);
    if (EqualsIgnoringCase(mode, "standard"))
        programmingMode_ = 0;
    else if (EqualsIgnoringCase(mode, "unlockbypass"))
        programmingMode_ = 1;
    else if (EqualsIgnoringCase(mode, "pagebuffer"))
        programmingMode_ = 2;
    else
        return 0;

    return layoutOk ? 1 : 0;
}

}  // namespace flashwire
