// One command exchange with the flash loader on the command port.
//
// Command frame (host to loader): the command's 4CC, the payload length N
// (u32 LE), when N > 0 the payload and its CRC-32, then "EOT.". A "TXDT"
// frame is followed by its raw data streams (see txdt_streams.h).
// Reply (loader to host): any number of "*msg" and "*dmp" records, then
// "rply", the command echoed, "+ok!" or "-err", the length M, when M > 0 the
// M bytes and their CRC-32, then "eom.".
#pragma once

#include <cstdint>
#include <span>

#include "state/job_state.h"

namespace flashwire {

// Sends the command and waits for its reply, each wait bounded by timeoutMs
// (the port's read time-out is that value during the call and is restored on
// every way out). reply must hold at least max(expectedReply, 20) bytes.
// Returns:
//   SUCCESS          "+ok!" with exactly expectedReply bytes in reply;
//   ERR_CMD_FAILED   "-err" with its 20-byte error record in reply (logged);
//   ERR_PROTOCOL     a failed write, a short read, a length other than
//                    expected, a missing "eom.", a bad "TXDT" stream table or
//                    a refused "*msg"/"*dmp" record;
//   ERR_CRC          a reply payload (or record) whose CRC differs;
//   ERR_TIMEOUT      no "rply", echo or status in time;
//   ERR_ABORT        the host asked to abort;
//   ERR_BAD_PARAMS   a reply buffer too small for the caller's request.
uint32_t ExchangeCommand(JobState& ctx, uint32_t command, std::span<const uint8_t> payload,
                    uint32_t expectedReply, std::span<uint8_t> reply, uint32_t timeoutMs);

// A command without reply payload; the error record of a "-err" lands in a
// local buffer.
uint32_t SendLoaderCommand(JobState& ctx, uint32_t command, std::span<const uint8_t> payload,
                           uint32_t timeoutMs);

}  // namespace flashwire
