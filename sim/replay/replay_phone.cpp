#include "sim/replay/replay_phone.h"

#include <algorithm>
#include <cstdio>

namespace flashwire::sim {

std::string ReplayDivergence::Describe() const {
    char text[256];
    const char uart = port == 0 ? 'A' : 'B';
    const auto hostByte = static_cast<unsigned long long>(offset);
    const auto traceByte = static_cast<unsigned long long>(traceOffset);
    if (expected < 0) {
        std::snprintf(text, sizeof text,
                      "p%u (UART %c): host byte %llu is 0x%02x, the trace has no more bytes written on this port "
                      "(it has %llu)",
                      port, uart, hostByte, got, traceByte);
    } else {
        std::snprintf(text, sizeof text,
                      "p%u (UART %c): host byte %llu is 0x%02x, the trace has 0x%02x (trace byte %llu, line %u)", port,
                      uart, hostByte, got, static_cast<unsigned>(expected), traceByte, traceLine);
    }
    return text;
}

long ReplayPhone::Expected::EventAt(uint64_t offset) const {
    if (offset == bytes.size()) return static_cast<long>(lines.size());
    const auto it = std::lower_bound(lines.begin(), lines.end(), std::make_pair(offset, uint32_t{0}));
    if (it == lines.end() || it->first != offset) return -1;
    return static_cast<long>(it - lines.begin());
}

bool ReplayPhone::Expected::IsPing(long event) const {
    if (event < 0 || static_cast<std::size_t>(event) >= lines.size()) return false;
    const std::size_t i = static_cast<std::size_t>(event);
    const uint64_t end = i + 1 < lines.size() ? lines[i + 1].first : bytes.size();
    return end - lines[i].first == 1;
}

uint32_t ReplayPhone::Expected::LineOf(uint64_t offset) const {
    const auto it = std::upper_bound(lines.begin(), lines.end(), std::make_pair(offset, UINT32_MAX));
    return it == lines.begin() ? 0 : std::prev(it)->second;
}

ReplayPhone::ReplayPhone(std::vector<TraceEvent> events, bool trackOpens)
    : events_(std::move(events)), trackOpens_(trackOpens) {
    // A read moves before the single-byte writes (pings) that precede it by
    // kReplayEarlyUs or less, and the other lines between them (never before
    // an "open", a read or a longer write: the answer to a command stays
    // behind it).
    for (std::size_t i = 1; i < events_.size(); ++i) {
        if (events_[i].kind != TraceEventKind::Read) continue;
        std::size_t j = i;
        while (j > 0) {
            const TraceEvent& before = events_[j - 1];
            const bool ping = before.kind == TraceEventKind::Write && before.bytes.size() == 1;
            const bool passable = (ping || (before.kind != TraceEventKind::Write && before.kind != TraceEventKind::Open &&
                                            before.kind != TraceEventKind::Read)) &&
                                  events_[i].us - before.us <= kReplayEarlyUs;
            if (!passable) break;
            --j;
        }
        if (j < i) std::rotate(events_.begin() + static_cast<std::ptrdiff_t>(j),
                               events_.begin() + static_cast<std::ptrdiff_t>(i),
                               events_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
    for (const TraceEvent& e : events_) {
        if (e.kind != TraceEventKind::Write || e.port >= kReplayPorts) continue;
        Expected& x = expected_[e.port];
        x.lines.emplace_back(x.bytes.size(), e.line);
        x.bytes.insert(x.bytes.end(), e.bytes.begin(), e.bytes.end());
    }
}

void ReplayPhone::HostOpened(uint32_t port, uint64_t nowUs) {
    if (port >= kReplayPorts) return;
    ++hostOpens_[port];
    hostOpenUs_[port] = nowUs;
    Advance(nowUs);
}

void ReplayPhone::FromHost(uint32_t port, std::span<const uint8_t> bytes, uint64_t nowUs) {
    if (port >= kReplayPorts || divergence_) return;
    Expected& x = expected_[port];
    for (const uint8_t b : bytes) {
        const uint64_t at = received_[port];
        if (at < x.bytes.size() && x.bytes[at] == b) {
            ++received_[port];
            ++hostBytes_[port];
            continue;
        }
        const long event = x.EventAt(at);
        // A ping sent once more than the trace has it.
        if (event > 0 && x.IsPing(event - 1) && x.First(event - 1) == b) {
            ++repeats_[port];
            ++hostBytes_[port];
            continue;
        }
        // Pings the trace repeats more often than the host: skipped when
        // the host's byte comes after them.
        uint64_t ahead = at;
        long e = event;
        uint64_t skipped = 0;
        while (e > 0 && x.IsPing(e) && x.IsPing(e - 1) && x.First(e) == x.First(e - 1) && x.bytes[ahead] != b) {
            ++ahead;
            ++e;
            ++skipped;
        }
        if (skipped > 0 && ahead < x.bytes.size() && x.bytes[ahead] == b) {
            skips_[port] += skipped;
            received_[port] = ahead + 1;
            ++hostBytes_[port];
            continue;
        }
        ReplayDivergence d;
        d.port = port;
        d.offset = hostBytes_[port];
        d.traceOffset = at;
        d.got = b;
        d.us = nowUs;
        if (at < x.bytes.size()) {
            d.expected = x.bytes[at];
            d.traceLine = x.LineOf(at);
        }
        divergence_ = d;
        return;
    }
    if (!bytes.empty()) receivedUs_[port] = nowUs;
    Advance(nowUs);
}

bool ReplayPhone::HostMovedOn(uint32_t port) const {
    const Expected& x = expected_[port];
    const uint64_t at = consumedWrites_[port];
    if (received_[port] != at) return false;  // the host is inside this write
    const long event = x.EventAt(at);
    if (event <= 0 || !x.IsPing(event) || !x.IsPing(event - 1) || x.First(event) != x.First(event - 1)) return false;
    for (uint32_t other = 0; other < kReplayPorts; ++other)
        if (other != port && received_[other] > consumedWrites_[other]) return true;
    return false;
}

void ReplayPhone::Advance(uint64_t nowUs) {
    dueUs_ = UINT64_MAX;
    if (divergence_) return;
    while (cursor_ < events_.size()) {
        const TraceEvent& e = events_[cursor_];
        if (e.port >= kReplayPorts) {
            ++cursor_;
            continue;
        }
        if (e.kind == TraceEventKind::Write) {
            const uint64_t end = consumedWrites_[e.port] + e.bytes.size();
            if (received_[e.port] < end && !HostMovedOn(e.port)) return;  // waits for the host
            if (received_[e.port] < end) {
                // A repeated ping the host did not send before it went on
                // on another port: skipped.
                received_[e.port] = end;
                consumedWrites_[e.port] = end;
                ++skips_[e.port];
                ++cursor_;
                continue;
            }
            consumedWrites_[e.port] = end;
            anchorUs_ = std::max(anchorUs_, receivedUs_[e.port]);
            anchorTraceUs_ = e.us;
        } else if (e.kind == TraceEventKind::Open && trackOpens_) {
            if (hostOpens_[e.port] <= consumedOpens_[e.port]) return;  // waits for the host
            ++consumedOpens_[e.port];
            anchorUs_ = std::max(anchorUs_, hostOpenUs_[e.port]);
            anchorTraceUs_ = e.us;
        } else if (e.kind == TraceEventKind::Read) {
            const uint64_t delay = e.us > anchorTraceUs_ + kReplayEarlyUs ? e.us - anchorTraceUs_ - kReplayEarlyUs : 0;
            const uint64_t due = anchorUs_ + delay;
            if (due > nowUs) {
                dueUs_ = due;
                return;  // waits for its time
            }
            toHost_[e.port].insert(toHost_[e.port].end(), e.bytes.begin(), e.bytes.end());
            answered_[e.port] += e.bytes.size();
        }
        ++cursor_;
    }
}

std::vector<uint8_t> ReplayPhone::TakeToHost(uint32_t port, uint64_t nowUs) {
    Advance(nowUs);
    if (port >= kReplayPorts) return {};
    std::vector<uint8_t> out;
    out.swap(toHost_[port]);
    return out;
}

uint64_t ReplayPhone::NextDueUs() const { return dueUs_; }

}  // namespace flashwire::sim
