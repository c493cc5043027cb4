// The active boot loader's report of an unexpected or missing byte.
#pragma once

#include <cstdint>
#include <optional>

#include "state/job_state.h"

namespace flashwire {

// Nothing received: "Timeout receiving <token>" and protocolCause = ERR_TIMEOUT;
// another byte: "Expected <token> (0xEE), received 0xRR" and protocolCause =
// ERR_PROTOCOL. Either way the level-1 line "Protocol Error: <text>".
void ReportProtocolError(JobState& ctx, const char* tokenName, uint8_t expected,
                         std::optional<uint8_t> received);

}  // namespace flashwire
