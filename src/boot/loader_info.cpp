#include "boot/loader_info.h"

#include <array>

#include "boot/boot_command_exchange.h"
#include "boot/boot_tokens.h"
#include "boot/pc_sync.h"
#include "session/reporting.h"
#include "wire/le32.h"

namespace flashwire {
namespace {

constexpr uint32_t kAttempts = 5;
constexpr uint32_t kReplyTimeoutMs = 4000;

}  // namespace

uint32_t RequestLoaderInfo(JobState& ctx, LoaderInfo& info) {
    uint32_t result = SUCCESS;
    for (uint32_t attempt = 0; attempt < kAttempts; ++attempt) {
        std::array<uint8_t, kInfoMaxLength> reply{};
        uint32_t length = 0;
        result = BLWaitFor4CC(ctx, PC_INFO, {}, kInfoMinLength, kInfoMaxLength, reply,
                              kReplyTimeoutMs, &length);
        if (result == SUCCESS) {
            info = LoaderInfo{};
            info.length = length;
            for (uint32_t w = 0; w < 6; ++w) info.words[w] = LoadLe32(reply.data() + 4 * w);
            return SUCCESS;
        }
        if (result == ERR_ABORT) return ERR_ABORT;
        if (SendPcSync(ctx) == ERR_ABORT) return ERR_ABORT;
    }
    ReportDebug(ctx, "Too many retries for PC_INFO");
    return result;
}

}  // namespace flashwire
