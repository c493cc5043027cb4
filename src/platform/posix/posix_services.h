// The POSIX implementations of the platform services.
#pragma once

#include "platform/platform.h"

namespace flashwire::platform::posix {

class MonotonicClock final : public Clock {
public:
    uint32_t Ticks() override;
    void Sleep(uint32_t ms) override;
    uint64_t Microseconds() override;
};

class PosixThreading final : public Threading {
public:
    std::unique_ptr<Event> CreateEvent(bool manualReset, bool initiallySet) override;
    std::unique_ptr<Thread> StartThread(std::size_t stackBytes,
                                        std::function<uint32_t()> body) override;
    int CurrentPriority() override;
    void SetCurrentPriority(int priority) override;
};

class PosixSystemInfo final : public SystemInfo {
public:
    std::string ExecutablePath() override;
    OsVersion GetOsVersion() override;
    char PathSeparator() const override { return '/'; }
};

// The serial ports of the system (termios), with the port-number-to-device map.
SerialProvider& PosixSerialPorts();

}  // namespace flashwire::platform::posix
