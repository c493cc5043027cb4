#include "wire/code_scanner.h"

#include "session/error_codes.h"
#include "session/reporting.h"
#include "serial/com_port.h"
#include "wire/four_cc.h"

namespace flashwire {
namespace {

// One byte per read, so an abort request or the deadline is noticed within
// about this long while the phone is silent.
constexpr uint32_t kScanReadTimeoutMs = 5;

}  // namespace

uint32_t ScanFor4CCs(Session& ctx, std::span<const uint32_t> codes, uint32_t timeoutMs,
                     uint32_t& found) {
    const uint32_t port = ctx.activePort;
    const uint32_t previousTimeout = ComSetTimeout(ctx, port, kScanReadTimeoutMs);

    uint32_t window = 0;
    const uint32_t start = ctx.clock().Ticks();
    uint32_t result = SUCCESS;
    for (;;) {
        uint8_t byte = 0;
        uint32_t received = 0;
        if (ComRead(ctx, port, &byte, 1, received) && received == 1) {
            // The window holds the last four bytes, the oldest in the lowest-order byte.
            window = (window >> 8) | (static_cast<uint32_t>(byte) << 24);
            bool matched = false;
            for (uint32_t code : codes) {
                if (window == code) {
                    found = code;
                    matched = true;
                    break;
                }
            }
            if (matched) break;
        }
        if (IsAbortRequested(ctx)) {
            result = ERR_ABORT;
            break;
        }
        if (ctx.clock().Ticks() - start > timeoutMs) {
            result = ERR_TIMEOUT;
            break;
        }
    }

    ComSetTimeout(ctx, port, previousTimeout);

    if (result != SUCCESS && result != ERR_ABORT) {
        ReportDebug(ctx, "WaitFor4CCs failed: %s (%u)", ErrorName(result, nullptr), result);
        for (uint32_t code : codes) {
            ReportDebug(ctx, "0x%08lx = %c%c%c%c", static_cast<unsigned long>(code),
                        FourCCChar(code, 0), FourCCChar(code, 1), FourCCChar(code, 2),
                        FourCCChar(code, 3));
        }
    }
    return result;
}

uint32_t ScanFor4CC(Session& ctx, uint32_t code, uint32_t timeoutMs) {
    uint32_t found = 0;
    const uint32_t list[1] = {code};
    return ScanFor4CCs(ctx, list, timeoutMs, found);
}

}  // namespace flashwire
