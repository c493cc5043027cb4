// The check of an options record before a job or before it is made into text.
#include <cstring>

#include "api/option_ranges.h"
#include "api/options.h"

namespace flashwire {
namespace {

bool Terminated(const char* text) { return std::memchr(text, 0, FLASH_TEXT_SIZE) != nullptr; }

bool RangesValid(const FlashOptions& o, RangeList list) {
    const uint32_t count = RangeCount(o, list);
    if (count > FLASH_MAX_RANGES) return false;
    const OptionRanges ranges = LoadRanges(o, list);
    for (uint32_t i = 0; i < count; ++i)
        if (ranges[i].first > ranges[i].last) return false;
    return true;
}

}  // namespace

uint32_t CheckOptions(const FlashOptions& o) {
    switch (o.mode) {
        case 0:
            if (!RangesValid(o, RangeList::Reserved) || o.erasePasses > 8 || !Terminated(o.file))
                return ERR_BAD_PARAMS;
            break;
        case 1:
            if (!Terminated(o.file)) return ERR_BAD_PARAMS;
            break;
        case 2:
            if (!RangesValid(o, RangeList::Read) || !Terminated(o.saveFile)) return ERR_BAD_PARAMS;
            break;
        default:
            return ERR_BAD_PARAMS;
    }
    // The platform name is used as text by every job, whatever its mode.
    if (!Terminated(o.platform)) return ERR_BAD_PARAMS;
    if (o.phases > 2) return ERR_BAD_PARAMS;
    if (o.comPort[0] >= FLASH_PORT_UNUSED) return ERR_BAD_PARAMS;
    if (o.comPort[1] > FLASH_PORT_UNUSED) return ERR_BAD_PARAMS;
    for (int slot = 0; slot < 2; ++slot)
        if (o.comPort[slot] != FLASH_PORT_UNUSED && o.maxSpeed[slot] >= FLASH_SPEED_COUNT) return ERR_BAD_PARAMS;
    return SUCCESS;
}

}  // namespace flashwire
