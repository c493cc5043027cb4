// Threads taking turns on virtual time: every wait ends at its virtual
// moment, and the job's dispatcher answers a record at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/test_host.h"
#include "session/reporting.h"
#include "job/dispatcher.h"
#include "sim/virtual_threads.h"

namespace flashwire::sim_test {
namespace {

struct CountingTime final : sim::VirtualTime {
    uint64_t NowUs() override { return now; }
    void AdvanceToUs(uint64_t us) override { now = us; }
    uint64_t now = 0;
};

struct Clock final : platform::Clock {
    Clock(CountingTime& time, sim::VirtualThreads& threads) : time(time), threads(threads) {}
    uint32_t Ticks() override { return static_cast<uint32_t>(time.now / 1000); }
    void Sleep(uint32_t ms) override { threads.Sleep(ms); }
    CountingTime& time;
    sim::VirtualThreads& threads;
};

// Two threads and the caller: who ran when, in virtual milliseconds.
TEST(VirtualThreads, WaitsEndAtTheirVirtualTimeInTurn) {
    CountingTime time;
    sim::VirtualThreads threads(time);
    std::vector<std::string> log;
    auto note = [&](const std::string& what) { log.push_back(std::to_string(time.now / 1000) + " " + what); };
    auto event = threads.CreateEvent(false, false);
    auto sleeper = threads.StartThread(0, [&] {
        threads.Sleep(300);
        note("slept");
        event->Set();
        threads.Sleep(10'000);
        note("late");
        return 7u;
    });
    auto waiter = threads.StartThread(0, [&] {
        note(event->Wait(100) ? "set" : "timed out");
        note(event->Wait(platform::kInfinite) ? "set" : "timed out");
        return 8u;
    });
    note(sleeper->Join(1000) ? "joined" : "join timed out");
    ASSERT_TRUE(sleeper->Join(platform::kInfinite));
    ASSERT_TRUE(waiter->Join(0));
    note("end");
    EXPECT_EQ(log, (std::vector<std::string>{"100 timed out", "300 slept", "300 set", "1000 join timed out",
                                             "10300 late", "10300 end"}));
    EXPECT_EQ(sleeper->ExitCode(), 7u);
    EXPECT_EQ(waiter->ExitCode(), 8u);
    EXPECT_EQ(threads.LiveThreads(), 0u);
}

// A record stored while the dispatcher is busy with the host (here: in
// abortPoll) wakes it at once: its event stays set until the dispatcher waits.
TEST(VirtualThreads, RecordStoredWhileTheDispatcherPollsIsDeliveredAtOnce) {
    CountingTime time;
    sim::VirtualThreads threads(time);
    Clock clock(time, threads);
    test::RecordingHost host;
    FlashContext& ctx = host.Bind(platform::Services{&clock, &threads, nullptr, nullptr});
    static std::vector<std::string> delivered;
    static Clock* clockOf = nullptr;
    delivered.clear();
    clockOf = &clock;
    host.handle.message = [](FlashHandle*, int32_t, const char* text) -> int32_t {
        delivered.push_back(std::to_string(clockOf->Ticks()) + " " + text);
        return 0;
    };
    host.handle.abortPoll = [](FlashHandle* h) -> int32_t {
        ReportText(*ContextOf(h), 0, ("stored at " + std::to_string(clockOf->Ticks())).c_str());
        return 0;
    };
    ctx.dataEvent = threads.CreateEvent(false, false);
    ctx.drainedEvent = threads.CreateEvent(true, false);
    ctx.queueMode = true;
    auto dispatcher = threads.StartThread(16 * 1024, [&] { return RunDispatcher(ctx); });
    threads.Sleep(2000);
    ctx.queueMode = false;
    ctx.dataEvent->Set();
    ASSERT_TRUE(dispatcher->Join(platform::kInfinite));
    // Polled once more than 750 ms have passed: at 1500 ms (waits of 750 ms
    // from 0); a wake-up lost meanwhile would leave the line to the end at 2000.
    EXPECT_EQ(delivered, (std::vector<std::string>{"1500 stored at 1500"}));
}

}  // namespace
}  // namespace flashwire::sim_test
