// A phone from "platform.def" and "flash.types".
#include "sim/phone_factory.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "sim/chip_choice.h"
#include "sim/nor_flash.h"
#include "catalog/ini_file.h"

namespace flashwire::sim {
namespace {

// A number as the platform file writes it: "0x" anywhere starts a hexadecimal
// number, otherwise a decimal one from the start; nullopt when there is none.
std::optional<uint64_t> ParseNumber(std::string_view text) {
    int base = 10;
    std::size_t pos = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            base = 16;
            pos = i + 2;
            break;
        }
    }
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    uint64_t value = 0;
    bool any = false;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        value = value * base + static_cast<uint64_t>(d);
        if (value > 0xFFFFFFFFull) return std::nullopt;
        any = true;
    }
    if (!any) return std::nullopt;
    return value;
}

std::vector<std::string> SplitCommas(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        std::string part(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        while (!part.empty() && std::isspace(static_cast<unsigned char>(part.front()))) part.erase(part.begin());
        while (!part.empty() && std::isspace(static_cast<unsigned char>(part.back()))) part.pop_back();
        out.push_back(part);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return out;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string DirOf(const std::string& configDir) {
    if (configDir.empty()) return "./";
    return configDir.back() == '/' ? configDir : configDir + "/";
}

bool SetError(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// "M.m" -> major, minor.
bool ParseVersion(const std::string& text, uint8_t& major, uint8_t& minor) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    const auto ma = ParseNumber(text.substr(0, dot));
    const auto mi = ParseNumber(text.substr(dot + 1));
    if (!ma || !mi || *ma > 255 || *mi > 255) return false;
    major = static_cast<uint8_t>(*ma);
    minor = static_cast<uint8_t>(*mi);
    return true;
}

// Parses "0x0089_0x00008817".
bool ParseChipKey(const std::string& key, uint16_t& maker, uint32_t& device) {
    const std::size_t sep = key.find('_');
    if (sep == std::string::npos) return false;
    const auto m = ParseNumber(key.substr(0, sep));
    const auto d = ParseNumber(key.substr(sep + 1));
    if (!m || !d || *m > 0xFFFF) return false;
    maker = static_cast<uint16_t>(*m);
    device = static_cast<uint32_t>(*d);
    return true;
}

constexpr uint64_t kMiB = 1u << 20;
constexpr std::size_t kMaxChips = 4;

std::string Format(const char* fmt, auto... args) {
    char buf[240];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// A flash definition: MIT 0 "base,size,attribute", MIT 1 "base,size", the
// size in MiB (the text between the commas, or all of it after the one comma
// for MIT 1); a missing or unreadable size reads as 0.
struct Definition {
    uint32_t base = 0;
    uint64_t size = 0;  // bytes
};

std::optional<Definition> ParseDefinition(std::string_view text, uint64_t mit) {
    const std::size_t comma = text.find(',');
    const auto base = ParseNumber(text.substr(0, comma));
    if (!base) return std::nullopt;
    Definition def{static_cast<uint32_t>(*base), 0};
    if (comma == std::string_view::npos) return def;
    const std::string_view rest = text.substr(comma + 1);
    def.size = ParseNumber(mit == 1 ? rest : rest.substr(0, rest.find(','))).value_or(0) * kMiB;
    return def;
}

}  // namespace

std::vector<uint32_t> SectorSizesFromFlashTypes(const std::string& configDir, uint16_t manufacturer,
                                                uint32_t device, std::string* error) {
    const std::string path = DirOf(configDir) + "flash.types";
    char key[40];
    std::snprintf(key, sizeof key, "0x%04x_0x%08lx", manufacturer, static_cast<unsigned long>(device));
    if (ReadIniValue(path, "Description", key, "").empty()) {
        SetError(error, std::string("flash.types: no description for ") + key);
        return {};
    }
    const std::vector<std::string> info = SplitCommas(ReadIniValue(path, "ChipInfo", key, ""));
    if (info.size() != 3) {
        SetError(error, std::string("flash.types: bad ChipInfo for ") + key);
        return {};
    }
    const std::string layout = ReadIniValue(path, "Layouts", info[1], "");
    std::vector<uint32_t> sizes;
    for (const std::string& entry : SplitCommas(layout)) {
        const std::size_t star = entry.find('*');
        const auto kib = ParseNumber(entry.substr(0, star));
        const auto repeat = star == std::string::npos ? std::optional<uint64_t>(1) : ParseNumber(entry.substr(star + 1));
        if (!kib || !repeat || *kib == 0 || *repeat == 0 || *kib > 0x100000 || sizes.size() + *repeat > 1023) {
            SetError(error, "flash.types: bad layout \"" + layout + "\" for " + key);
            return {};
        }
        sizes.insert(sizes.end(), static_cast<std::size_t>(*repeat), static_cast<uint32_t>(*kib * 1024));
    }
    if (sizes.empty()) SetError(error, std::string("flash.types: no layout for ") + key);
    return sizes;
}

PhoneConfig PhoneConfigForPlatform(const std::string& configDir, const std::string& platformName,
                                   std::string* error) {
    const std::string dir = DirOf(configDir);
    const std::string defs = dir + "platform.def";
    auto value = [&](std::string_view key, std::string_view def = "") {
        return ReadIniValue(defs, platformName, key, def);
    };
    PhoneConfig cfg;
    cfg.name = platformName;
    auto fail = [&](const std::string& why) {
        SetError(error, "platform " + platformName + ": " + why);
        return PhoneConfig{};
    };

    if (value("FlashLoader").empty()) return fail("not found in " + defs);
    const auto mit = ParseNumber(value("MIT", "0"));
    if (!mit || *mit > 1) return fail("invalid MIT");
    const bool ignoreSetup = ParseNumber(value("SetupLoaderIgnore", "0")).value_or(0) != 0;
    const bool hasSetup = !ignoreSetup && (*mit == 1 || !value("SetupLoader").empty());

    if (*mit == 1) {
        cfg.bootRom = BootRomKind::Passive;
        cfg.passive.type = 4;
        cfg.passive.majorVersion = 3;
        cfg.passive.minorVersion = 0;
        cfg.passive.hasIdRegister = true;
        cfg.passive.idRegister = 0x00020000;  // bits 16-17 = 2
    } else {
        const std::string kind = Lower(value("BootLoader"));
        if (kind == "active") {
            cfg.bootRom = BootRomKind::Active;
        } else if (kind == "passive") {
            cfg.bootRom = BootRomKind::Passive;
            if (hasSetup) {
                cfg.passive.type = 5;
                cfg.passive.maxTransferSize = 2304;
            }
        } else {
            return fail("invalid BootLoader \"" + kind + "\"");
        }
    }

    // Adjustments for the simulation.
    if (const std::string t = value("SimBootRomType"); !t.empty()) {
        const auto n = ParseNumber(t);
        if (!n || *n > 255) return fail("invalid SimBootRomType");
        cfg.passive.type = static_cast<uint8_t>(*n);
    }
    if (const std::string v = value("SimBootRomVersion"); !v.empty())
        if (!ParseVersion(v, cfg.passive.majorVersion, cfg.passive.minorVersion)) return fail("invalid SimBootRomVersion");
    if (const std::string v = value("SimMaxTransferSize"); !v.empty()) {
        const auto n = ParseNumber(v);
        if (!n) return fail("invalid SimMaxTransferSize");
        cfg.passive.maxTransferSize = static_cast<uint32_t>(*n);
    }
    if (const std::string v = value("SimSetupMaxTransferSize"); !v.empty()) {
        const auto n = ParseNumber(v);
        if (!n) return fail("invalid SimSetupMaxTransferSize");
        cfg.setupLoader.maxTransferSize = static_cast<uint32_t>(*n);
    }
    if (const std::string v = value("SimRomMaskId"); !v.empty()) {
        const auto n = ParseNumber(v);
        if (!n) return fail("invalid SimRomMaskId");
        cfg.passive.romMaskId = static_cast<uint32_t>(*n);
    }
    if (const std::string v = value("SimLoaderVersion"); !v.empty())
        if (!ParseVersion(v, cfg.flashLoader.majorVersion, cfg.flashLoader.minorVersion))
            return fail("invalid SimLoaderVersion");

    // Flash definitions and the chips that cover them: those "SimChip<n>"
    // names, else chips of "flash.types" that fill the definition.
    std::vector<Definition> flashDefs;
    const bool chipDesc = *mit == 1 || ParseNumber(value("ChipDesc", "0")).value_or(0) != 0;
    if (chipDesc) {
        for (unsigned i = 0; i < 4; ++i) {
            const std::string text = value("Flash" + std::to_string(i));
            if (text.empty()) break;
            const auto def = ParseDefinition(text, *mit);
            if (!def) return fail("invalid Flash" + std::to_string(i));
            flashDefs.push_back(*def);
        }
    }
    if (flashDefs.empty()) flashDefs.push_back({0, ParseNumber(value("MaxImageSize", "16")).value_or(0) * kMiB});
    std::optional<std::vector<OfferedChip>> offered;
    for (unsigned i = 0; i < flashDefs.size(); ++i) {
        const std::string list = value("SimChip" + std::to_string(i));
        std::vector<std::string> keys;
        if (!list.empty()) {
            keys = SplitCommas(list);
        } else {
            if (!offered) offered = OfferedChips(dir);
            const std::size_t room = kMaxChips - std::min(cfg.chips.size(), kMaxChips);
            keys = ChipsFilling(*offered, flashDefs[i].size, room);
            const std::string what = chipDesc ? "Flash" + std::to_string(i) : std::string("the image buffer");
            if (keys.empty())
                return fail(Format("no chips of flash.types fill %s (%llu MiB at 0x%08x): only chips whose size "
                                   "divides it count, and %zu of the phone's %zu chips are left; name them with "
                                   "SimChip%u",
                                   what.c_str(), static_cast<unsigned long long>(flashDefs[i].size / kMiB),
                                   flashDefs[i].base, room, kMaxChips, i));
        }
        uint64_t at = flashDefs[i].base;
        for (const std::string& key : keys) {
            uint16_t maker = 0;
            uint32_t device = 0;
            if (!ParseChipKey(key, maker, device) || maker > 0xFF) return fail("invalid chip key \"" + key + "\"");
            std::string why;
            std::vector<uint32_t> sizes = SectorSizesFromFlashTypes(dir, maker, device, &why);
            if (sizes.empty()) return fail(why);
            ChipConfig chip;
            chip.name = key;
            // A chip answers both identification styles with the same IDs.
            chip.amdManufacturer = chip.intelManufacturer = static_cast<uint8_t>(maker);
            chip.amdDevice = chip.intelDevice = device;
            chip.firstAddress = static_cast<uint32_t>(at);
            uint64_t size = 0;
            for (uint32_t s : sizes) size += s;
            chip.sectorSizes = std::move(sizes);
            at += size;
            if (at > 0x100000000ull) return fail("chips run past the end of the address space");
            cfg.chips.push_back(std::move(chip));
        }
    }
    if (cfg.chips.size() > kMaxChips) return fail("more than 4 chips");
    std::string flashError;
    NorFlash check(cfg.chips, &flashError);
    if (!flashError.empty()) return fail(flashError);
    (void)hasSetup;
    if (error) error->clear();
    return cfg;
}

}  // namespace flashwire::sim
