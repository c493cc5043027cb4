#include "sim/replay/replay_link.h"

#include <algorithm>

namespace flashwire::sim {
namespace {

class ReplayPort final : public platform::SerialPort {
public:
    ReplayPort(ReplayLink& link, uint32_t port) : link_(link), port_(port) {}

    bool GetSettings(platform::LineSettings& out) override {
        out = settings_;
        return true;
    }
    bool SetSettings(const platform::LineSettings& settings) override {
        settings_ = settings;
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& out) override {
        out = timeouts_;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return true;
    }
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        const bool nonBlocking = timeouts_.readInterval == 0xFFFFFFFFu && timeouts_.readTotalMultiplier == 0 &&
                                 timeouts_.readTotalConstant == 0;
        const uint64_t total = uint64_t{timeouts_.readTotalMultiplier} * buffer.size() + timeouts_.readTotalConstant;
        const uint64_t deadline = total == 0 ? UINT64_MAX : link_.NowUs() + total * 1000u;
        received = link_.Read(port_, buffer, !nonBlocking, deadline);
        return true;
    }
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        link_.Write(port_, data, settings_.baud);
        sent = static_cast<uint32_t>(data.size());
        return true;
    }
    bool BeginWrite(std::span<const uint8_t> data) override {
        if (writing_) return false;
        writing_ = true;
        link_.Write(port_, data, settings_.baud);
        written_ = static_cast<uint32_t>(data.size());
        return true;
    }
    platform::WriteStatus PollWrite(uint32_t, uint32_t& sent) override {
        sent = written_;
        if (!writing_) return platform::WriteStatus::Failed;
        writing_ = false;
        return platform::WriteStatus::Done;
    }
    bool Drain() override { return !writing_; }
    uint32_t LastError() const override { return 0; }

private:
    ReplayLink& link_;
    uint32_t port_;
    platform::LineSettings settings_{};
    platform::CommTimeouts timeouts_{};
    bool writing_ = false;
    uint32_t written_ = 0;
};

}  // namespace

ReplayLink::ReplayLink(std::vector<TraceEvent> events) : replay_(std::move(events), true) {}

std::unique_ptr<platform::SerialPort> ReplayLink::Open(uint32_t portNumber, bool, uint32_t& systemError) {
    if (portNumber >= kReplayPorts) {
        systemError = 2;
        return nullptr;
    }
    systemError = 0;
    received_[portNumber].clear();
    replay_.HostOpened(portNumber, nowUs_);
    return std::make_unique<ReplayPort>(*this, portNumber);
}

void ReplayLink::Write(uint32_t port, std::span<const uint8_t> data, uint32_t baud) {
    // The bytes take their time on the line (10 bits each); the replay gets
    // them when the last one has arrived.
    const uint64_t bitsPerSecond = baud == 0 ? 115200 : baud;
    nowUs_ += (data.size() * 10'000'000u + bitsPerSecond - 1) / bitsPerSecond;
    replay_.FromHost(port, data, nowUs_);
}

void ReplayLink::Collect() {
    // Both ports: an answer due on the other one waits in its buffer.
    for (uint32_t p = 0; p < kReplayPorts; ++p) {
        const std::vector<uint8_t> bytes = replay_.TakeToHost(p, nowUs_);
        received_[p].insert(received_[p].end(), bytes.begin(), bytes.end());
    }
}

uint32_t ReplayLink::Read(uint32_t port, std::span<uint8_t> buffer, bool wait, uint64_t deadlineUs) {
    const uint64_t limit = deadlineUs == UINT64_MAX ? nowUs_ + kIdleReplayReadUs : deadlineUs;
    for (;;) {
        Collect();
        if (received_[port].size() >= buffer.size() || !wait) break;
        const uint64_t due = replay_.NextDueUs();
        if (due > limit) {
            nowUs_ = std::max(nowUs_, limit);
            Collect();
            break;
        }
        nowUs_ = std::max(nowUs_, due);
    }
    const std::size_t n = std::min(buffer.size(), received_[port].size());
    std::copy_n(received_[port].begin(), n, buffer.begin());
    received_[port].erase(received_[port].begin(), received_[port].begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<uint32_t>(n);
}

}  // namespace flashwire::sim
