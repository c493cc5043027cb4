// The flash loader's unsolicited records: text messages ("*msg") and memory
// dumps ("*dmp"), which may arrive wherever the host waits for a reply.
#pragma once

#include <cstdint>
#include <span>

#include "state/job_state.h"

namespace flashwire {

// The host's record buffers. A longer record (up to kMaxDroppedRecord bytes)
// is read and dropped with a debug line so the exchange stays in step; a
// length above that is taken for line noise and refused (ERR_PROTOCOL).
inline constexpr uint32_t kMessageBufferSize = 2048;
inline constexpr uint32_t kDumpBufferSize = 4096;
inline constexpr uint32_t kMaxDroppedRecord = 0x10000;

// Called right after the scanner found "*msg" / "*dmp": read the rest of the
// record from the command port and log it. SUCCESS, ERR_PROTOCOL (short read,
// wrong end marker, impossible length) or ERR_CRC.
uint32_t FLHandleMsg(JobState& ctx);
uint32_t FLHandleDump(JobState& ctx);

// Logs bytes as dump lines of 16: each byte as two upper-case hex digits and
// a space, then a space and the bytes themselves between double quotes (NUL
// shown as a space).
void ReportDumpLines(JobState& ctx, std::span<const uint8_t> bytes);

}  // namespace flashwire
