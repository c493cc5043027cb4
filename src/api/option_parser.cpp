// The option-string parser: /name=value (or -name:value) options, each echoed
// to the host when accepted; the first rejected option ends parsing.
//
// Names and values are views into the caller's string, so nothing is copied
// into fixed buffers while parsing. A value longer than kMaxValueLength
// characters is rejected (the text options have their own, smaller limit);
// texts shown in messages are cut at kMaxShownLength characters (the message
// line itself is cut at 259).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "image/address_range.h"
#include "api/option_ranges.h"
#include "api/options.h"
#include "serial/speed_table.h"
#include "session/reporting.h"

namespace flashwire {
namespace {

constexpr int kMaxShownLength = 511;
constexpr int kMaxValueLength = 511;
constexpr int kEchoLevel = 0;
constexpr int kErrorLevel = 2;
constexpr uint32_t kMaxComPort = 12;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return Lower(x) == Lower(y);
           });
}

// Printf length argument for a view, cut at kMaxShownLength.
int Shown(std::string_view v) { return static_cast<int>(std::min<std::size_t>(v.size(), kMaxShownLength)); }

// Calls fn(token) for the first two non-empty ','-separated tokens; returns
// how many there were.
template <class Fn>
int ForFirstTwoTokens(std::string_view value, Fn fn) {
    int found = 0;
    while (found < 2 && !value.empty()) {
        const std::size_t comma = value.find(',');
        const std::string_view token = value.substr(0, comma);
        value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
        if (token.empty()) continue;
        fn(found, token);
        ++found;
    }
    return found;
}

class OptionParser {
public:
    OptionParser(Session* ctx, FlashOptions& options) : ctx_(ctx), o_(options) {}

    int Run(const char* text);

private:
    void Say(int level, const char* format, ...) FLASHWIRE_PRINTF(3, 4);
    bool Handle(std::string_view name, std::string_view value);
    // False (with an error line naming the option) for a value too long to take.
    bool ValueFits(std::string_view keyword, std::string_view value);
    bool Com(std::string_view value);
    bool MaxSpeed(std::string_view value);
    bool Text(std::string_view keyword, std::string_view value, char* member);
    bool Mode(std::string_view value);
    bool Phases(std::string_view value);
    bool Erase(std::string_view value);
    // A 0|1 option: 1 for any non-zero number. Always accepted.
    uint32_t Flag(std::string_view keyword, std::string_view value);
    bool Range(RangeList list, std::string_view value);

    Session* ctx_;
    FlashOptions& o_;
};

void OptionParser::Say(int level, const char* format, ...) {
    if (!ctx_) return;
    char line[kMaxLineLength + 1];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(line, sizeof(line), format, args) < 0) line[0] = 0;
    va_end(args);
    ReportText(*ctx_, level, line);
}

int OptionParser::Run(const char* text) {
    int result = 0;
    if (!text) return result;
    const std::string_view s(text);
    std::size_t p = 0;
    while (p < s.size() && result >= 0) {
        // 1. Up to the next '-' or '/', and over it.
        p = s.find_first_of("-/", p);
        if (p == std::string_view::npos) break;
        ++p;
        // 2. The name runs to '=' or ':' or the end.
        std::size_t end = s.find_first_of("=:", p);
        if (end == std::string_view::npos) end = s.size();
        const std::string_view name = s.substr(p, end - p);
        if (name.empty()) break;
        p = end;
        // 3. and 4. The value: blanks skipped, then a quoted text (the closing
        // quote stays for step 1 to skip) or a text up to the next blank.
        std::string_view value;
        if (p < s.size()) {
            ++p;
            while (p < s.size() && s[p] == ' ') ++p;
            if (p < s.size() && s[p] == '"') {
                ++p;
                std::size_t close = s.find('"', p);
                if (close == std::string_view::npos) close = s.size();
                value = s.substr(p, close - p);
                p = close;
            } else {
                std::size_t blank = s.find(' ', p);
                if (blank == std::string_view::npos) blank = s.size();
                value = s.substr(p, blank - p);
                p = blank;
            }
        }
        // 5. Handle it.
        if (Handle(name, value))
            ++result;
        else
            result = -1;
    }
    if (result >= 0) {
        for (const RangeList list : {RangeList::Reserved, RangeList::Read}) {
            OptionRanges ranges = LoadRanges(o_, list);
            SortRanges(ranges.data(), std::min<uint32_t>(RangeCount(o_, list), FLASH_MAX_RANGES));
            StoreRanges(o_, list, ranges);
        }
    }
    return result;
}

bool OptionParser::ValueFits(std::string_view keyword, std::string_view value) {
    if (value.size() <= static_cast<std::size_t>(kMaxValueLength)) return true;
    Say(kErrorLevel, "/%.*s value too long (max. %d characters)", Shown(keyword), keyword.data(),
        kMaxValueLength);
    return false;
}

bool OptionParser::Handle(std::string_view name, std::string_view value) {
    auto is = [&](std::string_view keyword) { return EqualsIgnoringCase(name, keyword); };
    // Every option but the three texts (which check their own limit) takes a
    // value of at most kMaxValueLength characters.
    static constexpr std::string_view kNonTextKeywords[] = {
        "com",  "mode", "phases",      "maxspeed",   "erase",   "debug",      "reserved",
        "suck", "read", "eraseunused", "extprotect", "noretry", "unattended", "diff"};
    for (const std::string_view keyword : kNonTextKeywords)
        if (is(keyword) && !ValueFits(keyword, value)) return false;
    if (is("com")) return Com(value);
    if (is("file")) return Text("file", value, o_.file);
    if (is("suckfile")) return Text("suckfile", value, o_.saveFile);
    if (is("savefile")) return Text("savefile", value, o_.saveFile);
    if (is("platform")) return Text("platform", value, o_.platform);
    if (is("mode")) return Mode(value);
    if (is("phases")) return Phases(value);
    if (is("maxspeed")) return MaxSpeed(value);
    if (is("erase")) return Erase(value);
    if (is("debug")) {
        o_.debug = Flag("debug", value);
        return true;
    }
    if (is("reserved")) return Range(RangeList::Reserved, value);
    if (is("suck") || is("read")) return Range(RangeList::Read, value);
    if (is("eraseunused")) {
        o_.eraseUnused = Flag("eraseunused", value);
        return true;
    }
    if (is("extprotect")) {
        o_.extProtect = Flag("extprotect", value);
        return true;
    }
    if (is("noretry")) {
        o_.noRetry = Flag("noretry", value);
        return true;
    }
    if (is("unattended")) {
        o_.unattended = Flag("unattended", value);
        return true;
    }
    if (is("diff")) {
        o_.diff = Flag("diff", value);
        return true;
    }
    Say(kErrorLevel, "Unknown option: %.*s", Shown(name), name.data());
    if (ctx_) PrintOptionHelp(*ctx_);
    return false;
}

bool OptionParser::Com(std::string_view value) {
    uint32_t ports[2] = {FLASH_PORT_UNUSED, FLASH_PORT_UNUSED};
    bool bad = false;
    const int found = ForFirstTwoTokens(value, [&](int i, std::string_view token) {
        if (bad) return;
        const int32_t number = ParseDecimal(token);
        if (number < 1 || number > static_cast<int32_t>(kMaxComPort)) {
            Say(kErrorLevel, "%.*s is not a valid COM port. Valid are 1-12", Shown(token), token.data());
            bad = true;
            return;
        }
        ports[i] = static_cast<uint32_t>(number - 1);
    });
    if (bad) return false;
    if (found == 0) {
        Say(kErrorLevel, "No valid COM port specified.");
        return false;
    }
    o_.comPort[0] = ports[0];
    o_.comPort[1] = ports[1];
    if (found == 1)
        Say(kEchoLevel, "/com=%u ", ports[0] + 1);
    else
        Say(kEchoLevel, "/com=%u,%u ", ports[0] + 1, ports[1] + 1);
    return true;
}

bool OptionParser::MaxSpeed(std::string_view value) {
    uint32_t indexes[2] = {1, 1};
    bool bad = false;
    const int found = ForFirstTwoTokens(value, [&](int i, std::string_view token) {
        const int32_t speed = ParseDecimal(token);
        const auto it = std::find(SpeedTable.begin(), SpeedTable.end(), static_cast<uint32_t>(speed));
        if (speed <= 0 || it == SpeedTable.end()) {
            Say(kErrorLevel, "Unsupported MAXSPEED %.*s", Shown(token), token.data());
            bad = true;
            return;
        }
        indexes[i] = static_cast<uint32_t>(it - SpeedTable.begin());
    });
    if (found == 0) {
        Say(kErrorLevel, "no valid /maxspeed pecified");
        return false;
    }
    if (bad) return false;
    o_.maxSpeed[0] = indexes[0];
    o_.maxSpeed[1] = indexes[1];
    return true;
}

bool OptionParser::Text(std::string_view keyword, std::string_view value, char* member) {
    if (value.size() >= FLASH_TEXT_SIZE) {
        Say(kErrorLevel, "/%.*s value too long (max. %d characters)", Shown(keyword), keyword.data(),
            FLASH_TEXT_SIZE - 1);
        return false;
    }
    // An option without a value has an empty view that may not point anywhere.
    value.copy(member, value.size());
    member[value.size()] = 0;
    const std::string_view shown = keyword == "suckfile" ? std::string_view("savefile") : keyword;
    Say(kEchoLevel, "/%.*s=%s", Shown(shown), shown.data(), member);
    return true;
}

bool OptionParser::Mode(std::string_view value) {
    static constexpr struct {
        std::string_view name;
        uint32_t mode;
    } kModes[] = {{"flash", 0}, {"verify", 1}, {"read", 2}, {"suck", 2}};
    for (const auto& m : kModes) {
        if (EqualsIgnoringCase(value, m.name)) {
            o_.mode = m.mode;
            Say(kEchoLevel, "/mode=%.*s", Shown(m.name), m.name.data());
            return true;
        }
    }
    Say(kErrorLevel, "Unknown MODE %.*s", Shown(value), value.data());
    return false;
}

bool OptionParser::Phases(std::string_view value) {
    static constexpr std::string_view kPhases[] = {"all", "bl", "fl"};
    for (uint32_t i = 0; i < 3; ++i) {
        if (EqualsIgnoringCase(value, kPhases[i])) {
            o_.phases = i;
            Say(kEchoLevel, "/phases=%.*s", Shown(kPhases[i]), kPhases[i].data());
            return true;
        }
    }
    Say(kErrorLevel, "Unknown PHASE %.*s", Shown(value), value.data());
    return false;
}

bool OptionParser::Erase(std::string_view value) {
    // Stored as given (a negative number as its unsigned value); the bound
    // 1..8 is checked when a job starts. 0 is rejected without a message.
    const auto passes = static_cast<uint32_t>(ParseDecimal(value));
    if (passes == 0) return false;
    o_.erasePasses = passes;
    Say(kEchoLevel, "/erase=%u", passes);
    return true;
}

uint32_t OptionParser::Flag(std::string_view keyword, std::string_view value) {
    const uint32_t flag = ParseDecimal(value) != 0 ? 1 : 0;
    Say(kEchoLevel, "/%.*s=%d", Shown(keyword), keyword.data(), static_cast<int>(flag));
    return flag;
}

bool OptionParser::Range(RangeList list, std::string_view value) {
    const char* listName = list == RangeList::Reserved ? "reserved" : "read";
    const uint32_t count = RangeCount(o_, list);
    if (count >= FLASH_MAX_RANGES) {
        Say(kErrorLevel, "Too many /%s definitions (max. %d)", listName, FLASH_MAX_RANGES);
        return false;
    }
    AddressRange range{};
    if (!ParseRange(value, range.first, range.last)) {
        Say(kErrorLevel, "Bad /%s definition: %.*s", listName, Shown(value), value.data());
        return false;
    }
    OptionRanges ranges = LoadRanges(o_, list);
    for (uint32_t i = 0; i < count; ++i) {
        if (RangesOverlap(ranges[i], range)) {
            Say(kErrorLevel, "Overlapping /%s regions defined", listName);
            return false;
        }
    }
    ranges[count] = range;
    StoreRanges(o_, list, ranges);
    SetRangeCount(o_, list, count + 1);
    Say(kEchoLevel, "/%s=0x%08x - 0x%08x (%u - %u)", listName, range.first, range.last, range.first, range.last);
    return true;
}

}  // namespace

int ParseOptionString(Session* ctx, const char* text, FlashOptions& options) {
    SetDefaultOptions(options);
    return OptionParser(ctx, options).Run(text);
}

}  // namespace flashwire
