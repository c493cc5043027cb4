// The Win32 implementations of the platform services, on KERNEL32 alone.
#pragma once

#include "platform/platform.h"

namespace flashwire::platform::win32 {

// GetTickCount and Sleep.
class TickClock final : public Clock {
public:
    uint32_t Ticks() override;
    void Sleep(uint32_t ms) override;
    uint64_t Microseconds() override;
};

// Events of CreateEventA, threads of CreateThread, thread priorities.
class Win32Threading final : public Threading {
public:
    std::unique_ptr<Event> CreateEvent(bool manualReset, bool initiallySet) override;
    std::unique_ptr<Thread> StartThread(std::size_t stackBytes,
                                        std::function<uint32_t()> body) override;
    int CurrentPriority() override;
    void SetCurrentPriority(int priority) override;
};

// GetModuleFileNameA and GetVersionExA.
class Win32SystemInfo final : public SystemInfo {
public:
    std::string ExecutablePath() override;
    OsVersion GetOsVersion() override;
    char PathSeparator() const override { return '\\'; }
};

// The system's COM ports, with the port-number-to-device map.
SerialProvider& Win32SerialPorts();

}  // namespace flashwire::platform::win32
