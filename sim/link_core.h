// The shared state of a VirtualLink: the phone, the virtual time, the port
// map and the lock that keeps the driving thread's operations whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "sim/virtual_link.h"
#include "sim/virtual_threads.h"

namespace flashwire::sim {

// Time at which byte i (from 0) of a write begun at startUs at baud has its
// last bit on the line.
inline uint64_t PcByteArrivalUs(uint64_t startUs, uint64_t i, uint32_t baud) {
    const uint64_t b = baud == 0 ? 1 : baud;
    return startUs + ((i + 1) * 10'000'000ull + b - 1) / b;
}

class VirtualSerialPort;

// A write of a PC port under way (BeginWrite until PollWrite saw it end):
// byte i reaches the phone at PcByteArrivalUs(startUs, i, baud).
struct HostWrite {
    const VirtualSerialPort* port = nullptr;
    unsigned uart = 0;
    uint32_t baud = 0;
    uint64_t startUs = 0;
    std::span<const uint8_t> data;
    std::size_t next = 0;  // bytes handed to the phone so far

    uint64_t NextUs() const { return PcByteArrivalUs(startUs, next, baud); }
    uint64_t EndUs() const {
        return data.empty() ? startUs : PcByteArrivalUs(startUs, data.size() - 1, baud);
    }
    bool Finished() const { return next >= data.size(); }
};

struct LinkCore {
    LinkCore(const PhoneConfig& config, uint64_t seed) : phone(config, seed), clock(*this), serial(*this) {
        driver = std::this_thread::get_id();
    }

    // Runs the phone up to us, handing it the bytes of the writes under way
    // as they arrive, and moves the clock there (never backwards). With
    // virtual threads, the other threads whose turn comes first run before.
    void AdvanceTo(uint64_t us) {
        if (threads) threads->RunOthersUntil(us);
        RawAdvance(us);
    }
    void RawAdvance(uint64_t us) {
        DeliverHostBytes(us);
        phone.RunUntil(us);
        if (us > nowUs.load()) nowUs.store(us);
    }
    uint64_t Now() const { return nowUs.load(); }
    bool IsDriver() const { return std::this_thread::get_id() == driver.load(); }
    bool RateAccepted(uint32_t baud) const {
        for (uint32_t r : pcRates)
            if (r == baud) return true;
        return false;
    }

    // Hands the phone every byte of the writes under way that arrives by us,
    // earliest first; bytes arriving together go in the order their writes
    // began.
    void DeliverHostBytes(uint64_t us);
    // Arrival of the next byte of a write under way, or kNever.
    uint64_t NextHostByteUs() const;
    // The port's write under way, or null.
    HostWrite* FindHostWrite(const VirtualSerialPort* port);
    void EndHostWrite(const VirtualSerialPort* port);

    Phone phone;
    std::atomic<uint64_t> nowUs{0};
    std::atomic<std::thread::id> driver;
    std::recursive_mutex mutex;
    std::map<uint32_t, unsigned> portMap{{0, 0}, {1, 1}};
    std::set<uint32_t> openPorts;
    std::vector<uint32_t> pcRates{57600, 115200, 230400, 460800, 921600};
    uint64_t dropped = 0;
    std::vector<HostWrite> hostWrites;  // in the order they began
    VirtualClock clock;
    VirtualSerialProvider serial;

    // The link's time as virtual threads see it.
    struct Time final : VirtualTime {
        explicit Time(LinkCore& core) : core(core) {}
        uint64_t NowUs() override { return core.Now(); }
        void AdvanceToUs(uint64_t us) override {
            std::lock_guard lock(core.mutex);
            core.RawAdvance(us);
        }
        LinkCore& core;
    };
    Time time{*this};
    // Set by VirtualLink::UseVirtualThreads; last, so it ends its threads
    // while everything they may touch is still there.
    std::unique_ptr<VirtualThreads> threads;
};

// One PC port of the link.
class VirtualSerialPort final : public platform::SerialPort {
public:
    VirtualSerialPort(LinkCore& core, uint32_t portNumber, unsigned uart);
    ~VirtualSerialPort() override;

    bool GetSettings(platform::LineSettings& out) override;
    bool SetSettings(const platform::LineSettings& settings) override;
    bool GetTimeouts(platform::CommTimeouts& out) override;
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override;
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override;
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override;
    bool BeginWrite(std::span<const uint8_t> data) override;
    platform::WriteStatus PollWrite(uint32_t waitMs, uint32_t& sent) override;
    bool Drain() override;
    uint32_t LastError() const override { return lastError_; }

    unsigned uart() const { return uart_; }
    uint32_t baud() const { return settings_.baud; }
    // Moves what the phone sent by us into the receive buffer.
    void Pull(uint64_t us);

private:
    std::size_t TakeInto(std::span<uint8_t> buffer, std::size_t have);

    LinkCore& core_;
    uint32_t portNumber_;
    unsigned uart_;
    platform::LineSettings settings_{};
    platform::CommTimeouts timeouts_{};
    std::vector<uint8_t> rx_;  // receive buffer (front at rxHead_)
    std::size_t rxHead_ = 0;
    uint32_t lastError_ = 0;
};

}  // namespace flashwire::sim
