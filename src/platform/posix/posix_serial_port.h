// A serial port of a POSIX system: a terminal device driven through termios.
//
// The descriptor stays non-blocking for its whole life; reads and writes wait
// with poll() against a deadline, so every wait is bounded by the port's
// time-outs (see CommTimeouts in platform/platform.h) or by
// kWriteStallLimitMs.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/platform.h"

namespace flashwire::platform::posix {

using SteadyClock = std::chrono::steady_clock;

// With no write time-out set, a write that cannot move a single byte for this
// long fails with ETIMEDOUT; Drain gives up alike on an output queue that
// does not shrink. Without flow control a working line always drains (at
// 57600 baud a full 4 KiB output queue empties in under a second), so such a
// stall means the device is gone or nobody reads the other end.
inline constexpr uint32_t kWriteStallLimitMs = 10000;

class PosixSerialPort final : public SerialPort {
public:
    // Takes ownership of an open, non-blocking terminal descriptor.
    explicit PosixSerialPort(int fd);
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    bool GetSettings(LineSettings& out) override;
    bool SetSettings(const LineSettings& settings) override;
    bool GetTimeouts(CommTimeouts& out) override;
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override;
    // BeginWrite and PollWrite until the write ends.
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override;
    // Writes what the device takes at once; PollWrite moves the rest.
    bool BeginWrite(std::span<const uint8_t> data) override;
    WriteStatus PollWrite(uint32_t waitMs, uint32_t& sent) override;
    // Watches the output queue (and, where the device tells, the transmitter)
    // until it is empty: tcdrain() itself has no time limit.
    bool Drain() override;
    uint32_t LastError() const override { return lastError_; }

private:
    // The write in progress: the bytes, how many went out, and its time limits.
    struct PendingWrite {
        std::span<const uint8_t> data;
        uint32_t sent = 0;
        bool hasDeadline = false;          // the port's write time-outs gave a total limit
        SteadyClock::time_point deadline;  // valid when hasDeadline
        SteadyClock::time_point lastProgress;
        bool hangup = false;               // the last wait saw a hang-up or an error
        std::optional<WriteStatus> ended;  // set when the write ended before a PollWrite
    };
    enum class Step { Done, Blocked, Failed };

    // Writes as much as the device takes now.
    Step Advance(PendingWrite& write);
    // Milliseconds to wait for the device to take more; -1 when the write's
    // time limit has run out (LastError is then ETIMEDOUT).
    int WaitBudgetMs(const PendingWrite& write, SteadyClock::time_point now);
    bool WaitTransmitterEmpty();
    void Fail(int error) { lastError_ = static_cast<uint32_t>(error); }

    int fd_;
    CommTimeouts timeouts_{};
    uint32_t lastError_ = 0;
    // The modem lines last asked for (pseudo-terminals have none to read back).
    bool dtr_ = true;
    bool rts_ = true;
    std::optional<PendingWrite> pending_;
};

// The device path the port number opens now (the default or the mapped one).
std::string SerialDevicePath(uint32_t portNumber);

// Milliseconds from now until t, rounded up, at least 0 and at most INT_MAX.
int MillisecondsUntil(SteadyClock::time_point t, SteadyClock::time_point now);

}  // namespace flashwire::platform::posix
