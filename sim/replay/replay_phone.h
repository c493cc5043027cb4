// A recorded wire trace played back as the phone: it takes the host's bytes
// and answers with the bytes the host read in the trace, for as long as the
// host writes what the trace says it wrote.
//
// Time: the caller's microseconds. The bytes the host read are due at the
// same distance after the host's last event before them as in the trace,
// less kReplayEarlyUs; the host events the replay sees are the end of a write
// (its last byte arriving) and, when the caller reports them, the host
// opening a port. Nothing is sent before every write that precedes it in the
// trace has arrived, nor before an "open" before it: the answers keep their
// order with the host's writes; only a single-byte write (a ping) that comes
// kReplayEarlyUs or less before the answer may come after it. (The trace stamps
// bytes when the host read them; the phone sent them earlier. A host that
// polls without waiting, a ping and a look at what has arrived, found in the
// trace the answer to its previous ping right after the next one: the answer
// must be there before that look.)
//
// A host that polls repeats single-byte writes (pings, probes) as often as
// its answers take, so their number depends on timing: where the trace has a
// single-byte write that repeats the one before it, the host may send it
// more often (a repeat) or fewer times (a skip) than the trace; both are
// counted, neither is a divergence. A host that stops polling one port and
// goes on on the other (a probe of the second port answered sooner than in
// the trace, then a command on the first) skips the trace's remaining
// repeats on the polled port as soon as its bytes on the other port arrive.
//
// Every byte the host writes is compared at once with the bytes the trace
// holds for that port at that offset; the first byte that differs (or that
// the trace does not have) ends the replay with its divergence: port, byte
// offset in the host's writes on that port, expected and received byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/replay/trace_file.h"

namespace flashwire::sim {

inline constexpr uint32_t kReplayPorts = 2;
inline constexpr uint64_t kReplayEarlyUs = 500;

struct ReplayDivergence {
    uint32_t port = 0;
    uint64_t offset = 0;     // byte offset in the host's writes on the port, from 0
    uint64_t traceOffset = 0;  // the offset in the trace's writes on the port
    int expected = -1;       // the trace's byte, or -1: the trace has no more writes on the port
    uint8_t got = 0;
    uint32_t traceLine = 0;  // the trace line of the expected byte (0 when none)
    uint64_t us = 0;         // when it arrived

    // "p0 (UART A): host byte 1234 is 0x3f, the trace has 0x23 (line 57)".
    std::string Describe() const;
};

class ReplayPhone {
public:
    // trackOpens: the caller reports the host's opens (HostOpened), and an
    // "open" of the trace waits for one.
    ReplayPhone(std::vector<TraceEvent> events, bool trackOpens);

    void HostOpened(uint32_t port, uint64_t nowUs);
    // The caller cannot see the host's opens after all: an "open" of the
    // trace no longer waits for one (answers after it are timed from the
    // host's last write, or from the start).
    void IgnoreOpens() { trackOpens_ = false; }
    // Bytes the host wrote on port, arriving at nowUs.
    void FromHost(uint32_t port, std::span<const uint8_t> bytes, uint64_t nowUs);
    // Moves through the trace up to nowUs and returns the bytes due to the
    // host on port by then (each only once).
    std::vector<uint8_t> TakeToHost(uint32_t port, uint64_t nowUs);
    // When the next answer is due (UINT64_MAX: none is waiting for time).
    uint64_t NextDueUs() const;

    bool finished() const { return cursor_ >= events_.size(); }
    const std::optional<ReplayDivergence>& divergence() const { return divergence_; }
    // Bytes the host wrote that matched the trace, per port; bytes answered.
    uint64_t matched(uint32_t port) const { return port < kReplayPorts ? received_[port] : 0; }
    uint64_t answered(uint32_t port) const { return port < kReplayPorts ? answered_[port] : 0; }
    // Single-byte writes the host repeated more often, or fewer times, than
    // the trace, per port.
    uint64_t repeats(uint32_t port) const { return port < kReplayPorts ? repeats_[port] : 0; }
    uint64_t skips(uint32_t port) const { return port < kReplayPorts ? skips_[port] : 0; }
    // The trace line the replay waits at (0 when finished).
    uint32_t waitingLine() const { return finished() ? 0 : events_[cursor_].line; }
    std::size_t eventCount() const { return events_.size(); }

private:
    void Advance(uint64_t nowUs);
    // The trace waits for a repeated ping on port that the host has not
    // sent, while the host has already written what comes after it on
    // another port: it polled fewer times and went on.
    bool HostMovedOn(uint32_t port) const;

    std::vector<TraceEvent> events_;
    bool trackOpens_;
    std::size_t cursor_ = 0;
    // Per port: the trace's write bytes in order, with the trace line of each
    // write event's first byte.
    struct Expected {
        std::vector<uint8_t> bytes;
        std::vector<std::pair<uint64_t, uint32_t>> lines;  // (offset of first byte, trace line)
        // The write event that starts at offset (lines.size() at the end of
        // the bytes), or -1.
        long EventAt(uint64_t offset) const;
        bool IsPing(long event) const;  // a single-byte write
        uint8_t First(long event) const { return bytes[lines[static_cast<std::size_t>(event)].first]; }
        // The line of the event holding the byte at offset.
        uint32_t LineOf(uint64_t offset) const;
    };
    Expected expected_[kReplayPorts];
    uint64_t received_[kReplayPorts] = {};
    uint64_t receivedUs_[kReplayPorts] = {};
    uint64_t consumedWrites_[kReplayPorts] = {};  // end offset of the write events passed
    uint32_t hostOpens_[kReplayPorts] = {};
    uint32_t consumedOpens_[kReplayPorts] = {};
    uint64_t anchorUs_ = 0;       // the caller's time of the last host event passed
    uint64_t anchorTraceUs_ = 0;  // its time in the trace
    uint64_t dueUs_ = UINT64_MAX;
    std::vector<uint8_t> toHost_[kReplayPorts];
    uint64_t answered_[kReplayPorts] = {};
    uint64_t repeats_[kReplayPorts] = {};
    uint64_t skips_[kReplayPorts] = {};
    uint64_t hostBytes_[kReplayPorts] = {};
    uint64_t hostOpenUs_[kReplayPorts] = {};
    std::optional<ReplayDivergence> divergence_;
};

}  // namespace flashwire::sim
