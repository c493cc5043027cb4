#include "state/job_plan.h"

#include <algorithm>
#include <cstring>

namespace flashwire {
namespace {

std::string FieldText(const char* field) { return std::string(field, strnlen(field, FLASH_TEXT_SIZE)); }

void CopyRanges(const AddressRange* from, uint32_t count, std::array<AddressRange, FLASH_MAX_RANGES>& to) {
    for (uint32_t i = 0; i < count; ++i) {
        AddressRange range;
        std::memcpy(&range, from + i, sizeof range);  // the options record is packed
        to[i] = range;
    }
}

}  // namespace

JobPlan MakeJobPlan(const FlashOptions& options) {
    JobPlan plan;
    plan.platform = FieldText(options.platform);
    plan.file = FieldText(options.file);
    plan.saveFile = FieldText(options.saveFile);
    for (int i = 0; i < 2; ++i) {
        plan.comPort[i] = options.comPort[i];
        plan.maxSpeed[i] = options.maxSpeed[i];
    }
    plan.mode = options.mode;
    plan.erasePasses = options.erasePasses;
    plan.phases = options.phases;
    // Copies first: the record is packed, and std::min binds references.
    const uint32_t reservedCount = options.reservedCount;
    const uint32_t readCount = options.readCount;
    plan.reservedCount = std::min<uint32_t>(reservedCount, FLASH_MAX_RANGES);
    plan.readCount = std::min<uint32_t>(readCount, FLASH_MAX_RANGES);
    CopyRanges(options.reserved, plan.reservedCount, plan.reserved);
    CopyRanges(options.read, plan.readCount, plan.read);
    plan.debug = options.debug != 0;
    plan.eraseUnused = options.eraseUnused != 0;
    plan.extProtect = options.extProtect != 0;
    plan.noRetry = options.noRetry != 0;
    plan.unattended = options.unattended != 0;
    plan.diff = options.diff != 0;
    return plan;
}

}  // namespace flashwire
