// Reading and checking a platform section of "platform.def".
#include "catalog/platform_definition.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "catalog/platform_info.h"
#include "image/region_list.h"
#include "session/reporting.h"
#include "catalog/ini_file.h"
#include "catalog/size_text.h"

namespace flashwire {
namespace {

constexpr uint32_t kMiB = 0x100000;
constexpr uint32_t kMaxBankMiB = 64;
constexpr uint32_t kMaxFlashDefinitions = 4;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int DigitValue(char c, unsigned base) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return (v >= 0 && static_cast<unsigned>(v) < base) ? v : -1;
}

// Skips leading blanks and reads digits of the base; saturates at 0xFFFFFFFF.
uint32_t ParseUnsigned(std::string_view text, unsigned base) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int d = DigitValue(text[i], base);
        if (d < 0) break;
        value = value * base + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFu) value = 0x100000000u;  // stays saturated
    }
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

// A loader's 128 KiB window must end inside the 32-bit address space.
bool LoaderWindowFits(uint32_t base) {
    return base % 4 == 0 && base <= 0xFFFFFFFFu - (kLoaderBufferSize - 1);
}

class PlatformReader {
public:
    PlatformReader(Session& ctx, const PlatformSource& source, PlatformInfo& platform, RegionList& image)
        : ctx_(ctx),
          platform_(platform),
          image_(image),
          file_(source.file),
          section_(source.section),
          exeDirectory_(source.dataDirectory) {}

    bool Read();

private:
    // A problem that ends the job: the debug line, and one line that
    // everyone sees, naming the file and the section.
    void Reject(const char* format, ...) FLASHWIRE_PRINTF(2, 3);
    std::string Value(const char* key, const char* defaultValue) {
        return ReadIniValue(file_, section_, key, defaultValue, ctx_.files());
    }
    uint32_t Number(const char* key, const char* defaultValue) {
        return ParsePlatformNumber(Value(key, defaultValue));
    }
    // exeDirectory + the key's value into field; false (debug line) when it
    // does not fit. An empty value leaves field empty and sets empty.
    bool ReadPath(const char* key, char (&field)[kPathSize], const char* what, bool& empty);
    bool ReadFlashDefinitions(uint32_t mit);
    bool ReadStreamGap();
    bool ParseFlashDefinition(uint32_t mit, std::string_view value, FlashDefinition& out);
    void Summary();

    Session& ctx_;
    PlatformInfo& platform_;
    RegionList& image_;
    std::string file_;
    std::string section_;
    std::string exeDirectory_;
};

void PlatformReader::Reject(const char* format, ...) {
    char text[kMaxLineLength + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ReportDebugText(ctx_, text);
    ReportMessage(ctx_, 1, "Error: %s (section [%s] of %s)", text, section_.c_str(), file_.c_str());
}

bool PlatformReader::ReadPath(const char* key, char (&field)[kPathSize], const char* what, bool& empty) {
    const IniLookup lookup = LookupIniValue(file_, section_, key, ctx_.files());
    empty = lookup.value.empty();
    if (empty) {
        field[0] = '\0';
        return true;
    }
    if (lookup.truncated || exeDirectory_.size() + lookup.value.size() >= kPathSize) {
        Reject( "Platform: %s path too long (at most %u characters)", what,
                    static_cast<unsigned>(kPathSize - 1));
        return false;
    }
    const std::string path = exeDirectory_ + lookup.value;
    std::memcpy(field, path.c_str(), path.size() + 1);
    return true;
}

bool PlatformReader::ParseFlashDefinition(uint32_t mit, std::string_view value, FlashDefinition& out) {
    const std::size_t comma1 = value.find(',');
    if (comma1 == std::string_view::npos) return false;
    uint32_t sizeMiB = 0;
    if (mit == 0) {
        const std::size_t comma2 = value.find(',', comma1 + 1);
        if (comma2 == std::string_view::npos) return false;
        out.base = ParsePlatformNumber(value.substr(0, comma1));
        sizeMiB = ParsePlatformNumber(value.substr(comma1 + 1, comma2 - comma1 - 1));
        out.attribute = ParsePlatformNumber(value.substr(comma2 + 1));
        if (out.base % kMiB != 0 || out.attribute > 7) return false;
    } else {
        out.base = ParsePlatformNumber(value.substr(0, comma1));
        sizeMiB = ParsePlatformNumber(value.substr(comma1 + 1));
        out.attribute = 0;
        if (out.base % (64 * kMiB) != 0) return false;
    }
    // An empty bank, or one that runs past the end of the address space, would
    // give a buffer whose last address lies below its first.
    if (sizeMiB == 0 || sizeMiB > kMaxBankMiB) return false;
    out.size = sizeMiB * kMiB;
    return static_cast<uint64_t>(out.base) + out.size <= 0x100000000ull;
}

bool PlatformReader::ReadFlashDefinitions(uint32_t mit) {
    PlatformInfo& p = platform_;
    p.flashDefinitionCount = 0;
    for (uint32_t i = 0;; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "%s%u", "Flash", i);
        const std::string value = Value(key, "");
        if (value.empty()) break;
        if (i == kMaxFlashDefinitions) {
            ReportDebug(ctx_,
                        "Platform: only the first %u flash definitions are used, %s and beyond are ignored",
                        kMaxFlashDefinitions, key);
            break;
        }
        FlashDefinition def;
        if (!ParseFlashDefinition(mit, value, def)) {
            Reject( "Platform: invalid flash definition [%u]", i);
            return false;
        }
        p.flashDefinitions[p.flashDefinitionCount++] = def;
    }
    if (p.flashDefinitionCount == 0) {
        Reject( "Platform: no flash defined");
        return false;
    }
    RegionList& image = image_;
    image.bufferCount = p.flashDefinitionCount;
    for (uint32_t i = 0; i < p.flashDefinitionCount; ++i) {
        image.buffers[i].first = p.flashDefinitions[i].base;
        image.buffers[i].last = p.flashDefinitions[i].base + (p.flashDefinitions[i].size - 1);
    }
    return true;
}

// "StreamGap": whole milliseconds from 0 to kMaxStreamGapMs; absent gives the
// default. Anything else is refused with a line the user sees, since a wrong
// gap would cost every data block of the job.
bool PlatformReader::ReadStreamGap() {
    const IniLookup lookup = LookupIniValue(file_, section_, "StreamGap", ctx_.files());
    std::string_view text = lookup.value;
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    if (!lookup.found) {
        platform_.streamGapMs = kDefaultStreamGapMs;
        return true;
    }
    bool digits = !text.empty() && text.size() <= 10 && !lookup.truncated;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    const uint32_t value = digits ? ParseDecimalNumber(text) : 0;
    if (!digits || value > kMaxStreamGapMs) {
        ReportMessage(ctx_, 2,
                      "Platform \"%s\": StreamGap=%s is out of range; give whole milliseconds from 0 to %u, "
                      "or remove the key for the default of %u ms",
                      section_.c_str(), lookup.value.c_str(), kMaxStreamGapMs, kDefaultStreamGapMs);
        return false;
    }
    platform_.streamGapMs = value;
    return true;
}

void PlatformReader::Summary() {
    const PlatformInfo& p = platform_;
    ReportDebug(ctx_, "Boot loader protocol type: %s", p.activeBootLoader ? "active" : "passive");
    ReportDebug(ctx_, "Memory interface type: %u", p.memoryInterfaceType);
    if (p.setupLoaderPath[0] != '\0') {
        ReportDebug(ctx_, "Setup loader: %s", p.setupLoaderPath);
        ReportDebug(ctx_, "Setup loader base addr: 0x%08lx", static_cast<unsigned long>(p.setupLoaderBase));
    } else {
        ReportDebug(ctx_, "Setup loader: -");
    }
    ReportDebug(ctx_, "Flash loader: %s", p.flashLoaderPath);
    ReportDebug(ctx_, "Flash loader base addr: 0x%08lx", static_cast<unsigned long>(p.flashLoaderBase));
    ReportDebug(ctx_, "Stack base addr: 0x%08lx", static_cast<unsigned long>(p.stackBase));
    if (p.streamGapMs != kDefaultStreamGapMs) ReportDebug(ctx_, "Stream gap: %u ms", p.streamGapMs);
    const RegionList& image = image_;
    ReportDebug(ctx_, "Stack buffers: %u", image.bufferCount);
    for (uint32_t i = 0; i < image.bufferCount && i < kMaxBuffers; ++i) {
        const MemoryRegion& b = image.buffers[i];
        ReportDebug(ctx_, "%u: 0x%08lx - 0x%08lx [%s]", i, static_cast<unsigned long>(b.first),
                    static_cast<unsigned long>(b.last), SizeText(RegionLength(b)));
    }
}

bool PlatformReader::Read() {
    PlatformInfo& p = platform_;
    p.setupLoaderIgnored = false;
    p.setupLoaderNeeded = false;
    p.flashLoaderBase = 0;

    if (Value("FlashLoader", "").empty()) {
        Reject( "Platform: unknown or corrupted platform: \"%s\"", section_.c_str());
        return false;
    }

    const uint32_t mit = ParseDecimalNumber(Value("MIT", "0"));
    if (mit > 1) {
        Reject( "Platform: invalid MIT: %u", mit);
        return false;
    }
    p.memoryInterfaceType = mit;

    if (mit == 0) {
        const std::string kind = Value("BootLoader", "");
        const auto is = [&kind](const char* word) {
            if (kind.size() != std::strlen(word)) return false;
            for (std::size_t i = 0; i < kind.size(); ++i) {
                const char c = kind[i];
                if (((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c) != word[i]) return false;
            }
            return true;
        };
        if (is("active")) {
            p.activeBootLoader = true;
        } else if (is("passive")) {
            p.activeBootLoader = false;
        } else {
            Reject( "Platform: invalid boot loader type: %s", kind.c_str());
            return false;
        }
    } else {
        p.activeBootLoader = false;
        p.setupLoaderNeeded = true;
    }

    if (Number("SetupLoaderIgnore", "0") != 0) {
        p.setupLoaderIgnored = true;
        p.setupLoaderNeeded = false;
        p.setupLoaderPath[0] = '\0';
    } else {
        bool empty = false;
        if (!ReadPath("SetupLoader", p.setupLoaderPath, "setup loader", empty)) return false;
        if (empty && mit == 1) {
            Reject( "Platform: missing setup loader");
            return false;
        }
        p.setupLoaderBase = Number("SetupLoaderBaseAddr", "0");
        if (!LoaderWindowFits(p.setupLoaderBase)) {
            Reject( "Platform: invalid SL base address 0x%08lx",
                        static_cast<unsigned long>(p.setupLoaderBase));
            return false;
        }
    }

    p.chipDescription = (mit == 1) || ParseDecimalNumber(Value("ChipDesc", "0")) != 0;

    if (p.chipDescription) {
        if (!ReadFlashDefinitions(mit)) return false;
    } else {
        const uint32_t maxImageMiB = Number("MaxImageSize", "16");
        if (maxImageMiB < 4 || maxImageMiB > kMaxBankMiB) {
            Reject( "Platform: invalid max. image size: %lu",
                        static_cast<unsigned long>(maxImageMiB));
            return false;
        }
        RegionList& image = image_;
        image.bufferCount = 1;
        image.buffers[0].first = 0;
        image.buffers[0].last = maxImageMiB * kMiB - 1;
    }

    bool empty = false;
    if (!ReadPath("FlashLoader", p.flashLoaderPath, "flash loader", empty)) return false;
    if (empty) {
        Reject( "Platform: no flash loader defined");
        return false;
    }

    p.flashLoaderBase = Number("FlashLoaderBaseAddr", mit == 0 ? "0" : "0x9999");
    if (!LoaderWindowFits(p.flashLoaderBase)) {
        Reject( "Platform: invalid FL base address 0x%08lx",
                    static_cast<unsigned long>(p.flashLoaderBase));
        return false;
    }

    p.stackBase = Number("StackBaseAddr", "0");
    if (!ReadStreamGap()) return false;

    Summary();
    return true;
}

}  // namespace

uint32_t ParsePlatformNumber(std::string_view text) {
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
            return ParseUnsigned(text.substr(i + 2), 16);
    }
    return ParseUnsigned(text, 10);
}

uint32_t ParseDecimalNumber(std::string_view text) { return ParseUnsigned(text, 10); }

bool ReadPlatformDefinition(Session& session, const PlatformSource& source, PlatformInfo& platform,
                            RegionList& image) {
    return PlatformReader(session, source, platform, image).Read();
}

}  // namespace flashwire
