// Events of the job's threads: auto-reset, manual-reset, pulses and time-outs.
#include "platform/posix/posix_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/posix/posix_services.h"

using flashwire::platform::kInfinite;
using flashwire::platform::posix::PosixEvent;
using namespace std::chrono_literals;

namespace {

// Threads that each wait once on an event and count how many were released.
class Waiters {
public:
    Waiters(PosixEvent& event, int count, uint32_t timeoutMs) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([&event, this, timeoutMs] {
                if (event.Wait(timeoutMs)) ++released_;
                ++ended_;
            });
    }
    ~Waiters() { Join(); }
    void Join() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }
    int released() const { return released_; }
    int ended() const { return ended_; }

private:
    std::vector<std::thread> threads_;
    std::atomic<int> released_{0};
    std::atomic<int> ended_{0};
};

// Polls cond every millisecond for up to 5 s.
template <class Cond>
bool Eventually(Cond cond) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool AllWaiting(PosixEvent& event, std::size_t n) {
    return Eventually([&] { return event.Waiting() == n; });
}

}  // namespace

TEST(PosixEvent, AutoResetSetReleasesOneWaiterAndResets) {
    PosixEvent event(false, false);
    Waiters waiters(event, 3, 5000);
    ASSERT_TRUE(AllWaiting(event, 3));

    event.Set();
    ASSERT_TRUE(Eventually([&] { return waiters.released() == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(waiters.released(), 1);
    EXPECT_EQ(event.Waiting(), 2u);

    event.Set();
    ASSERT_TRUE(Eventually([&] { return waiters.released() == 2; }));
    event.Set();
    waiters.Join();
    EXPECT_EQ(waiters.released(), 3);
    EXPECT_FALSE(event.Wait(0));  // every signal was taken by exactly one waiter
}

TEST(PosixEvent, AutoResetSignalWaitsForTheNextWaiter) {
    PosixEvent event(false, false);
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));

    PosixEvent initially(false, true);
    EXPECT_TRUE(initially.Wait(kInfinite));
    EXPECT_FALSE(initially.Wait(0));
}

TEST(PosixEvent, ManualResetReleasesEveryoneUntilReset) {
    PosixEvent event(true, false);
    {
        Waiters waiters(event, 3, 5000);
        ASSERT_TRUE(AllWaiting(event, 3));
        event.Set();
        waiters.Join();
        EXPECT_EQ(waiters.released(), 3);
    }
    // Still signalled: later waiters pass at once.
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
    EXPECT_FALSE(event.Wait(20));

    PosixEvent initially(true, true);
    EXPECT_TRUE(initially.Wait(0));
    EXPECT_TRUE(initially.Wait(0));
}

TEST(PosixEvent, PulseWithoutWaitersLeavesNothingBehind) {
    for (bool manual : {false, true}) {
        PosixEvent event(manual, false);
        event.Pulse();
        EXPECT_FALSE(event.Wait(0)) << manual;
        // A pulse also clears a lasting signal.
        event.Set();
        event.Pulse();
        EXPECT_FALSE(event.Wait(0)) << manual;
    }
}

TEST(PosixEvent, AutoResetPulseReleasesOneOfTheWaitersOnly) {
    PosixEvent event(false, false);
    Waiters waiters(event, 2, 5000);
    ASSERT_TRUE(AllWaiting(event, 2));
    event.Pulse();
    // A second pulse right away finds one waiter still waiting and releases it;
    // a third finds nobody (the released ones may not have run yet).
    event.Pulse();
    event.Pulse();
    waiters.Join();
    EXPECT_EQ(waiters.released(), 2);
    EXPECT_FALSE(event.Wait(0));  // no pulse is kept for a later waiter

    Waiters more(event, 2, 5000);
    ASSERT_TRUE(AllWaiting(event, 2));
    event.Pulse();
    ASSERT_TRUE(Eventually([&] { return more.released() == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(more.released(), 1);
    EXPECT_EQ(event.Waiting(), 1u);
    event.Pulse();
    more.Join();
    EXPECT_EQ(more.released(), 2);
}

TEST(PosixEvent, ManualResetPulseReleasesExactlyThoseWaitingNow) {
    PosixEvent event(true, false);
    Waiters waiters(event, 3, 5000);
    ASSERT_TRUE(AllWaiting(event, 3));
    event.Pulse();
    event.Pulse();  // nobody new is waiting: releases nothing more
    // A thread that starts waiting after the pulses is not released by them.
    EXPECT_FALSE(event.Wait(30));
    waiters.Join();
    EXPECT_EQ(waiters.released(), 3);
    EXPECT_FALSE(event.Wait(0));
}

TEST(PosixEvent, WaitTimesOutAfterItsLimit) {
    PosixEvent event(false, false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(60));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 55);
    EXPECT_LE(ms.count(), 60 + 1000);  // a loaded machine may wake the waiter late

    // A waiter that timed out no longer counts: a later pulse keeps nothing.
    Waiters late(event, 1, 20);
    late.Join();
    EXPECT_EQ(late.released(), 0);
    EXPECT_EQ(event.Waiting(), 0u);
    event.Pulse();
    EXPECT_FALSE(event.Wait(0));
}

TEST(PosixEvent, SystemThreadingMakesTheseEvents) {
    auto& threading = *flashwire::platform::SystemServices().threading;
    auto autoReset = threading.CreateEvent(false, true);
    auto manual = threading.CreateEvent(true, true);
    ASSERT_NE(autoReset, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_NE(dynamic_cast<PosixEvent*>(autoReset.get()), nullptr);
    EXPECT_TRUE(autoReset->Wait(0));
    EXPECT_FALSE(autoReset->Wait(0));
    EXPECT_TRUE(manual->Wait(0));
    EXPECT_TRUE(manual->Wait(0));
}
