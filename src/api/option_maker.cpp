// The option-string maker: the options that matter for the record's mode, in
// a fixed order, as a string FlashParseOptionString takes again.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "api/option_ranges.h"
#include "api/options.h"
#include "serial/speed_table.h"

namespace flashwire {
namespace {

// Appends fragments while the room lasts: a fragment that would leave no room
// (for the NUL) is not appended, and the maker stops with ERR_NOMEM.
class FragmentWriter {
public:
    FragmentWriter(char* buffer, int32_t size) : buffer_(buffer), room_(size) {}

    bool Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char fragment[320];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(fragment, sizeof(fragment), format, args);
        va_end(args);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof(fragment)) return false;
        room_ -= n;
        if (room_ <= 0) return false;
        std::memcpy(buffer_ + length_, fragment, static_cast<std::size_t>(n) + 1);
        length_ += static_cast<std::size_t>(n);
        return true;
    }

private:
    char* buffer_;
    int64_t room_;
    std::size_t length_ = 0;
};

// The speed of a slot; an unused slot may hold any index.
uint32_t SlotSpeed(const FlashOptions& o, int slot) {
    const uint32_t index = o.maxSpeed[slot];
    return index < FLASH_SPEED_COUNT ? SpeedTable[index] : SpeedTable[1];
}

bool WriteRanges(FragmentWriter& out, const FlashOptions& o, RangeList list, const char* name) {
    const OptionRanges ranges = LoadRanges(o, list);
    const uint32_t count = RangeCount(o, list);
    for (uint32_t i = 0; i < count; ++i)
        if (!out.Add(" /%s=0x%x-0x%x", name, ranges[i].first, ranges[i].last)) return false;
    return true;
}

bool WriteAll(FragmentWriter& out, const FlashOptions& o) {
    if (!out.Add("/platform=\"%s\"", o.platform)) return false;
    switch (o.mode) {
        case 0:
            if (!out.Add(" /mode=FLASH /file=\"%s\"", o.file)) return false;
            if (!WriteRanges(out, o, RangeList::Reserved, "reserved")) return false;
            if (!out.Add(" /diff=%u", o.diff ? 1u : 0u)) return false;
            if (o.extProtect && !out.Add(" /extprotect=%u", 1u)) return false;
            if (o.erasePasses != 1 && !out.Add(" /erase=%u", static_cast<unsigned>(o.erasePasses))) return false;
            break;
        case 1:
            if (!out.Add(" /mode=VERIFY /file=\"%s\"", o.file)) return false;
            break;
        default:
            if (!out.Add(" /mode=READ /savefile=\"%s\"", o.saveFile)) return false;
            if (!WriteRanges(out, o, RangeList::Read, "read")) return false;
            break;
    }
    if (!out.Add(" /com=")) return false;
    const bool second = o.comPort[1] != FLASH_PORT_UNUSED;
    if (!out.Add("%u%c", static_cast<unsigned>(o.comPort[0] + 1), second ? ',' : ' ')) return false;
    if (second && !out.Add("%u%c", static_cast<unsigned>(o.comPort[1] + 1), ' ')) return false;
    if (!out.Add("/maxspeed=")) return false;
    if (!out.Add("%u%c", SlotSpeed(o, 0), ',')) return false;
    if (!out.Add("%u%c", SlotSpeed(o, 1), ' ')) return false;
    if (o.phases != 0) {
        if (!out.Add(" /phases=")) return false;
        if (!out.Add("%s", o.phases == 1 ? "BL" : "FL")) return false;
    }
    if (o.noRetry && !out.Add(" /noretry=%u", 1u)) return false;
    return true;
}

}  // namespace

uint32_t MakeOptionString(const FlashOptions& options, char* buffer, int32_t bufferSize) {
    if (!buffer || bufferSize <= 0) return ERR_NOMEM;
    buffer[0] = 0;
    if (const uint32_t rc = CheckOptions(options)) return rc;
    FragmentWriter out(buffer, bufferSize);
    return WriteAll(out, options) ? SUCCESS : ERR_NOMEM;
}

}  // namespace flashwire
