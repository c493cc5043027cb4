// A recorded wire trace as the phone of an in-process host, on a virtual
// clock: platform::Clock and SerialProvider whose ports are the trace's p0
// (port number 0) and p1 (port number 1), answered by a ReplayPhone. For
// tests: a job recorded against the simulated phone runs again against its
// trace in microseconds of real time.
//
// Time advances only when the host sleeps or waits in a read: a read with a
// deadline moves the clock to the next answer due or to the deadline; one
// without (totals 0) gives up after kIdleReplayReadUs. A write takes the
// line time of its bytes at the port's rate (10 bits a byte) and reaches the
// replay at its end; every rate is accepted.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "sim/replay/replay_phone.h"

namespace flashwire::sim {

inline constexpr uint64_t kIdleReplayReadUs = 60'000'000;

class ReplayLink final : public platform::Clock, public platform::SerialProvider {
public:
    explicit ReplayLink(std::vector<TraceEvent> events);

    ReplayPhone& replay() { return replay_; }
    uint64_t NowUs() const { return nowUs_; }

    // platform::Clock
    uint32_t Ticks() override { return static_cast<uint32_t>(nowUs_ / 1000); }
    void Sleep(uint32_t ms) override { nowUs_ += uint64_t{ms} * 1000u; }
    uint64_t Microseconds() override { return nowUs_; }

    // platform::SerialProvider: port numbers 0 and 1; others fail with ENOENT (2).
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override;

    // For the ports: the host's bytes, and a read of up to count bytes that
    // waits until deadlineUs (UINT64_MAX: the idle limit).
    void Write(uint32_t port, std::span<const uint8_t> data, uint32_t baud);
    uint32_t Read(uint32_t port, std::span<uint8_t> buffer, bool wait, uint64_t deadlineUs);

private:
    void Collect();

    ReplayPhone replay_;
    uint64_t nowUs_ = 0;
    std::deque<uint8_t> received_[kReplayPorts];
};

}  // namespace flashwire::sim
