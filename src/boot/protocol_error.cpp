#include "boot/protocol_error.h"

#include <cstdio>

#include "session/reporting.h"

namespace flashwire {

void ReportProtocolError(JobState& ctx, const char* tokenName, uint8_t expected,
                         std::optional<uint8_t> received) {
    char text[kMaxLineLength + 1];
    if (!received) {
        std::snprintf(text, sizeof text, "Timeout receiving %s", tokenName);
        ctx.protocolCause = ERR_TIMEOUT;
    } else {
        std::snprintf(text, sizeof text, "Expected %s (0x%.2X), received 0x%.2X", tokenName,
                      static_cast<unsigned>(expected), static_cast<unsigned>(*received));
        ctx.protocolCause = ERR_PROTOCOL;
    }
    ReportMessage(ctx, 1, "Protocol Error: %s", text);
}

}  // namespace flashwire
