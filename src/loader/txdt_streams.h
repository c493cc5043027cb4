// The raw data streams that follow a "TXDT" frame, one per port.
#pragma once

#include <cstdint>
#include <span>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kMaxStreams = 2;
inline constexpr uint32_t kTxdtPayloadSize = 48;

// Sends the streams a "TXDT" payload names: its u32 at offset 0 is the start
// address, at 12 the stream count (low 16 bits) and the image list buffer
// (high 16 bits); from 16, one 16-byte entry per stream with its offset from
// the start address at +4 and its length at +8. Stream i goes out on logical
// port i, all at once when overlapped I/O is on (after the command frame has
// left the command port), else the single stream on port 0. False (nothing
// sent) when the table names more streams than ports or bytes outside the
// buffer; the outcome of the writes themselves is not examined: a stream that
// did not get through shows as a failed or missing reply.
bool SendTxdtStreams(JobState& ctx, std::span<const uint8_t> payload);

}  // namespace flashwire
