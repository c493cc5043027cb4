// Threads of the job: start with a stack size, exit code, joining with a
// time-out, and best-effort priorities.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/posix/posix_event.h"
#include "platform/posix/posix_services.h"

using namespace flashwire::platform;
using namespace std::chrono_literals;

namespace {

int OwnNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}

bool SetOwnNice(int nice) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice) == 0;
}

}  // namespace

TEST(PosixThread, ExitCodeAfterJoin) {
    posix::PosixThreading threading;
    auto thread = threading.StartThread(256 * 1024, [] { return 999u; });
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(thread->Join(kInfinite));
    EXPECT_EQ(thread->ExitCode(), 999u);
    EXPECT_TRUE(thread->Join(0));  // joining again is harmless
    EXPECT_EQ(thread->ExitCode(), 999u);

    // The smallest stack the job asks for still runs a body with some depth.
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

TEST(PosixThread, JoinTimesOutWhileTheThreadRuns) {
    posix::PosixThreading threading;
    posix::PosixEvent release(true, false);
    auto thread = threading.StartThread(256 * 1024, [&] {
        release.Wait(10000);
        return 7u;
    });
    ASSERT_NE(thread, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(thread->Join(50));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 45);
    EXPECT_LE(ms.count(), 50 + 1000);  // a loaded machine may wake the joiner late
    EXPECT_FALSE(thread->Join(0));

    release.Set();
    EXPECT_TRUE(thread->Join(5000));
    EXPECT_EQ(thread->ExitCode(), 7u);
}

TEST(PosixThread, AThreadLeftRunningIsDetachedSafely) {
    posix::PosixThreading threading;
    auto release = std::make_shared<posix::PosixEvent>(true, false);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    {
        auto thread = threading.StartThread(256 * 1024, [release, ended] {
            release->Wait(5000);
            *ended = true;
            return 0u;
        });
        ASSERT_NE(thread, nullptr);
        EXPECT_FALSE(thread->Join(0));
    }  // the handle goes while the body still runs
    release->Set();
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!*ended && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(*ended);
}

// Priorities are steps from the nice value the thread started with; a change
// the system refuses leaves everything as it was and is no error.
TEST(PosixThread, PrioritiesAreBestEffortStepsFromTheThreadsOwnNiceValue) {
    std::thread([] {
        posix::PosixThreading threading;
        ASSERT_TRUE(SetOwnNice(5));  // lowering one's own priority is always allowed
        ASSERT_EQ(OwnNice(), 5);
        EXPECT_EQ(threading.CurrentPriority(), kPriorityNormal);
        const bool mayRaise = SetOwnNice(4) && SetOwnNice(5);

        threading.SetCurrentPriority(kPriorityHighest);
        if (mayRaise) {
            EXPECT_EQ(threading.CurrentPriority(), kPriorityHighest);
            EXPECT_EQ(OwnNice(), -5);
            threading.SetCurrentPriority(kPriorityTimeCritical);
            EXPECT_EQ(threading.CurrentPriority(), kPriorityTimeCritical);
            EXPECT_EQ(OwnNice(), -15);
        } else {
            EXPECT_EQ(threading.CurrentPriority(), kPriorityNormal);
            EXPECT_EQ(OwnNice(), 5);
        }
        // Back to normal is back to where the thread started, not to nice 0.
        threading.SetCurrentPriority(kPriorityNormal);
        EXPECT_EQ(threading.CurrentPriority(), kPriorityNormal);
        EXPECT_EQ(OwnNice(), 5);
    }).join();
}
