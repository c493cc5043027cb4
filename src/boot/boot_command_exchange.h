// One framed command to the passive boot loader or the setup loader and its
// framed reply.
//
// Command (host to phone): 4CC, payload length N (u32 LE), and when N > 0 the
// payload and its CRC-32 (u32 LE), then "(pc)".
// Reply (phone to host): "resp", the command's 4CC echoed and "+ok+" or
// "nack", each found by the scanner; after "+ok+" the payload length M
// (u32 LE) and, when M > 0, M bytes and their CRC-32; then "(hw)".
#pragma once

#include <cstdint>
#include <span>

#include "state/job_state.h"

namespace flashwire {

// Sends the command on the active port and reads its reply. A reply length
// outside [minReply, maxReply] is refused (maxReply 0 means minReply); the
// reply payload lands in reply, which must hold maxReply bytes, and its
// length in *replyLength when given. Fixed-length reads wait as long as the
// read time-out the caller set on the port. Returns SUCCESS after "+ok+",
// ERR_CMD_FAILED after "nack", ERR_PROTOCOL for a failed write or read, a
// reply length out of range or a missing "(hw)", ERR_CRC for a reply payload
// whose CRC differs, ERR_TIMEOUT or ERR_ABORT from the scanner.
uint32_t BLWaitFor4CC(JobState& ctx, uint32_t command, std::span<const uint8_t> payload,
                      uint32_t minReply, uint32_t maxReply, std::span<uint8_t> reply,
                      uint32_t timeoutMs, uint32_t* replyLength = nullptr);

}  // namespace flashwire
