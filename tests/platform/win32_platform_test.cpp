// The Win32 platform layer (run under Wine by scripts/test-windows.sh):
// events, threads, the system facts and opening ports by number.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/win32/win32_serial_port.h"
#include "platform/win32/win32_services.h"

using namespace flashwire::platform;

namespace {

struct EventCase {
    const char* name;
    bool manual;
    bool initiallySet;
    const char* steps;  // S set, R reset, P pulse (no waiter)
    bool firstWait;     // the result of a wait of 0 ms afterwards
    bool secondWait;    // and of a second one
};

const EventCase kEventCases[] = {
    {"auto, initially set: taken by one wait", false, true, "", true, false},
    {"auto, set: taken by one wait", false, false, "S", true, false},
    {"manual, set: stays set", true, false, "S", true, true},
    {"manual, set then reset", true, false, "SR", false, false},
    {"auto, reset after set", false, false, "SR", false, false},
    {"pulse without waiters leaves nothing (manual)", true, false, "P", false, false},
    {"pulse without waiters leaves nothing (auto)", false, false, "P", false, false},
    {"pulse clears a manual event that was set", true, false, "SP", false, false},
};

}  // namespace

TEST(Win32Event, StatesWithoutWaiters) {
    win32::Win32Threading threading;
    for (const EventCase& c : kEventCases) {
        SCOPED_TRACE(c.name);
        auto event = threading.CreateEvent(c.manual, c.initiallySet);
        ASSERT_NE(event, nullptr);
        for (const char* s = c.steps; *s; ++s) {
            if (*s == 'S') event->Set();
            if (*s == 'R') event->Reset();
            if (*s == 'P') event->Pulse();
        }
        EXPECT_EQ(event->Wait(0), c.firstWait);
        EXPECT_EQ(event->Wait(0), c.secondWait);
    }
}

TEST(Win32Event, PulseReleasesAWaitingThread) {
    win32::Win32Threading threading;
    auto event = threading.CreateEvent(false, false);
    auto waiting = threading.CreateEvent(true, false);
    std::atomic<bool> woken{false};
    auto thread = threading.StartThread(64 * 1024, [&] {
        waiting->Set();
        woken = event->Wait(10000);
        return 0u;
    });
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(waiting->Wait(5000));
    // A pulse can miss a thread that is not yet inside its wait: pulse until it wakes.
    for (int i = 0; i < 500 && !thread->Join(10); ++i) event->Pulse();
    EXPECT_TRUE(thread->Join(5000));
    EXPECT_TRUE(woken);
    EXPECT_FALSE(event->Wait(0));  // nothing left behind
}

TEST(Win32Thread, ExitCodeJoinAndSmallStack) {
    win32::Win32Threading threading;
    auto release = threading.CreateEvent(true, false);
    auto thread = threading.StartThread(256 * 1024, [&] {
        release->Wait(10000);
        return 999u;
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(thread->Join(50));  // still running
    release->Set();
    EXPECT_TRUE(thread->Join(kInfinite));
    EXPECT_EQ(thread->ExitCode(), 999u);
    EXPECT_TRUE(thread->Join(0));

    // The dispatcher's 16 KiB still runs a body with some depth.
    auto small = threading.StartThread(16 * 1024, [] {
        volatile char buffer[8 * 1024];
        buffer[0] = 1;
        buffer[sizeof buffer - 1] = 2;
        return static_cast<uint32_t>(buffer[0] + buffer[sizeof buffer - 1]);
    });
    ASSERT_NE(small, nullptr);
    EXPECT_TRUE(small->Join(5000));
    EXPECT_EQ(small->ExitCode(), 3u);
}

TEST(Win32Thread, PrioritiesRoundTrip) {
    win32::Win32Threading threading;
    std::atomic<int> seen[3] = {-100, -100, -100};
    auto thread = threading.StartThread(64 * 1024, [&] {
        threading.SetCurrentPriority(kPriorityHighest);
        seen[0] = threading.CurrentPriority();
        threading.SetCurrentPriority(kPriorityTimeCritical);
        seen[1] = threading.CurrentPriority();
        threading.SetCurrentPriority(kPriorityNormal);
        seen[2] = threading.CurrentPriority();
        return 0u;
    });
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->Join(5000));
    // A refused raise keeps the old priority; going back to normal always works.
    EXPECT_TRUE(seen[0] == kPriorityHighest || seen[0] == kPriorityNormal);
    EXPECT_TRUE(seen[1] == kPriorityTimeCritical || seen[1] == kPriorityNormal);
    EXPECT_EQ(seen[2], kPriorityNormal);
}

TEST(Win32SystemInfo, ExecutableAndVersion) {
    win32::Win32SystemInfo system;
    const std::string exe = system.ExecutablePath();
    ASSERT_GT(exe.size(), 4u);
    EXPECT_EQ(exe.substr(exe.size() - 4), ".exe");
    EXPECT_NE(exe.rfind(system.PathSeparator()), std::string::npos);
    const OsVersion v = system.GetOsVersion();
    EXPECT_TRUE(v.known);
    EXPECT_TRUE(v.ntFamily);
    EXPECT_GE(v.major, 5u);
    EXPECT_EQ(v.release.rfind("Windows ", 0), 0u);
}

TEST(Win32Serial, DeviceNamesAndFailedOpens) {
    EXPECT_EQ(win32::SerialDeviceName(0), "\\\\.\\COM1");
    EXPECT_EQ(win32::SerialDeviceName(11), "\\\\.\\COM12");
    ASSERT_TRUE(MapSerialDevice(3, "\\\\.\\flashwire-no-such-port"));
    EXPECT_EQ(win32::SerialDeviceName(3), "\\\\.\\flashwire-no-such-port");
    for (bool overlapped : {false, true}) {
        uint32_t error = 0;
        EXPECT_EQ(SystemServices().serial->Open(3, overlapped, error), nullptr);
        EXPECT_NE(error, 0u);
        error = 0;
        EXPECT_EQ(SystemServices().serial->Open(kSerialPortNumbers, overlapped, error), nullptr);
        EXPECT_NE(error, 0u);
    }
    ASSERT_TRUE(MapSerialDevice(3, nullptr));
    EXPECT_EQ(win32::SerialDeviceName(3), "\\\\.\\COM4");
    EXPECT_FALSE(MapSerialDevice(kSerialPortNumbers, "\\\\.\\COM1"));
    EXPECT_FALSE(MapSerialDevice(0, ""));
}
