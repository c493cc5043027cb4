// The raw data streams that follow a "TXDT" frame, one per port.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kMaxStreams = 2;
inline constexpr uint32_t kTxdtPayloadSize = 48;

// The streams a "TXDT" payload names, pointing into an image list buffer.
struct TxdtStreams {
    std::array<std::span<const uint8_t>, kMaxStreams> streams{};
    uint32_t count = 0;
};

// Reads the stream table of a "TXDT" payload: its u32 at offset 0 is the
// start address, at 12 the stream count (low 16 bits) and the image list
// buffer (high 16 bits); from 16, one 16-byte entry per stream with its offset
// from the start address at +4 and its length at +8. False when the table
// names more streams than ports or bytes outside the buffer. Checked before
// the frame goes out, so a bad table never leaves the phone waiting for
// streams that do not come.
bool PlanTxdtStreams(JobState& ctx, std::span<const uint8_t> payload, TxdtStreams& out);

// Sends the planned streams once the frame has gone out: the command port is
// drained, the platform's stream gap is waited (the phone's loader arms its
// receive after checking the frame), then stream i goes out on logical port i,
// all at once when overlapped I/O is on, else the single stream on port 0. The
// outcome of the writes is not examined: a stream that did not get through
// shows as a failed or missing reply.
void SendTxdtStreams(JobState& ctx, const TxdtStreams& plan);

}  // namespace flashwire
