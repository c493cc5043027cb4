// The message ring while a job runs: fillers, wraps, order, overflow with a
// slow and with a stalled dispatcher, and the flush.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "api/test_host.h"
#include "session/reporting.h"
#include "job/dispatcher.h"

namespace flashwire::test {
namespace {

constexpr const char* kPrevented = "Prevented message overflow !";

struct Header {
    uint32_t size, contextTag, time, kind, arg1, arg2;
};

class RingTest : public ::testing::Test {
protected:
    void SetUp() override {
        threading_ = platform::SystemServices().threading;
        ctx_ = &host_.Bind(platform::Services{&clock_, threading_, nullptr, nullptr});
        ctx_->dataEvent = threading_->CreateEvent(false, false);
        ctx_->drainedEvent = threading_->CreateEvent(true, false);
        ctx_->ring.Reset();
        ctx_->queueMode = true;
    }

    void TearDown() override { StopConsumer(); }

    // A dispatcher in miniature: wait for data, deliver all, report drained.
    void StartConsumer() {
        consumer_ = std::thread([this] {
            while (!stop_.load()) {
                ctx_->dataEvent->Wait(2);
                while (DeliverOneRecord(*ctx_)) {
                }
                ctx_->drainedEvent->Set();
            }
            while (DeliverOneRecord(*ctx_)) {
            }
        });
    }

    void StopConsumer() {
        if (!consumer_.joinable()) return;
        stop_ = true;
        ctx_->dataEvent->Set();
        consumer_.join();
    }

    bool RingEmpty() const { return ctx_->ring.readPos.load() == ctx_->ring.writePos.load(); }

    Header HeaderAt(uint32_t pos) const {
        Header h;
        std::memcpy(&h, ctx_->ring.storage + pos, sizeof(h));
        return h;
    }

    FakeClock clock_{5000};
    platform::Threading* threading_ = nullptr;
    RecordingHost host_;
    FlashContext* ctx_ = nullptr;
    std::thread consumer_;
    std::atomic<bool> stop_{false};
};

std::string Numbered(int i, size_t length) {
    std::string s = "msg " + std::to_string(i) + " ";
    s.resize(std::max(length, s.size()), static_cast<char>('a' + i % 26));
    return s;
}

// The number in "msg <n> ...", or -1.
int NumberOf(const std::string& text) {
    if (text.rfind("msg ", 0) != 0) return -1;
    return std::stoi(text.substr(4));
}

// A producer that found the ring full holds the producers' lock while it
// waits for the dispatcher; a dispatcher that starts then reports its own
// lines straight to the host and empties the ring without that lock.
TEST_F(RingTest, DispatcherStartsWhileAProducerHoldsTheLock) {
    ctx_->debug = true;
    for (int i = 0; i < 3; ++i) ReportText(*ctx_, 0, Numbered(i, 10).c_str());
    std::unique_lock producer(ctx_->ring.producerMutex);
    std::thread dispatcher([this] { RunDispatcher(*ctx_); });
    const bool drained = ctx_->drainedEvent->Wait(5000);
    producer.unlock();
    EXPECT_TRUE(drained) << "the dispatcher waited for the producers' lock";
    ctx_->queueMode = false;
    ctx_->dataEvent->Set();
    dispatcher.join();
    const std::vector<std::string> expected = {"ThreadGUI started", Numbered(0, 10), Numbered(1, 10),
                                               Numbered(2, 10), "ThreadGUI finished"};
    EXPECT_EQ(host_.Texts(), expected);
}

TEST_F(RingTest, RecordThatDoesNotFitAtTheEndFollowsAFiller) {
    ctx_->ring.writePos = kRingSize - 200;
    ctx_->ring.readPos = kRingSize - 200;
    const std::string text(259, 'r');  // the longest line: a 284-byte record
    clock_.now = 777;
    ReportText(*ctx_, 1, text.c_str());

    EXPECT_EQ(ctx_->ring.writePos.load(), 284u);
    const Header filler = HeaderAt(kRingSize - 200);
    EXPECT_EQ(filler.kind, 0u);
    EXPECT_EQ(filler.size, 284u + 24u);
    const Header record = HeaderAt(0);
    EXPECT_EQ(record.kind, 1u);
    EXPECT_EQ(record.size, 284u);
    EXPECT_EQ(record.time, 777u);
    EXPECT_EQ(record.arg1, 1u);
    EXPECT_EQ(record.arg2, 24u);  // offset of the record's own text copy

    EXPECT_TRUE(host_.lines.empty());  // queued, not delivered
    EXPECT_TRUE(DeliverOneRecord(*ctx_));  // the filler: nothing for the host
    EXPECT_TRUE(host_.lines.empty());
    EXPECT_TRUE(DeliverOneRecord(*ctx_));
    EXPECT_FALSE(DeliverOneRecord(*ctx_));
    EXPECT_EQ(host_.lines, (std::vector<Line>{{1, text}}));
    EXPECT_TRUE(RingEmpty());
}

TEST_F(RingTest, AllKindsAreDeliveredWithTheirArguments) {
    ProgressBegin(*ctx_, "Flashing", 0);
    ProgressUpdate(*ctx_, 1);
    ProgressEnd(*ctx_);
    ReportStatus(*ctx_, "Power on the phone");
    ReportMessage(*ctx_, 2, "Connection test failed.");
    while (DeliverOneRecord(*ctx_)) {
    }
    EXPECT_EQ(host_.progress, (std::vector<std::string>{"begin Flashing 1", "update 1 100", "end"}));
    EXPECT_EQ(host_.statuses, (std::vector<std::string>{"Power on the phone"}));
    EXPECT_EQ(host_.lines, (std::vector<Line>{{2, "Connection test failed."}}));

    // A slot emptied before delivery silences only that record.
    ReportMessage(*ctx_, 0, "dropped by the host");
    ReportStatus(*ctx_, "kept");
    host_.handle.message = nullptr;
    while (DeliverOneRecord(*ctx_)) {
    }
    EXPECT_EQ(host_.lines.size(), 1u);
    EXPECT_EQ(host_.statuses.back(), "kept");
}

TEST_F(RingTest, DamagedRecordIsSkippedNotDelivered) {
    ReportMessage(*ctx_, 0, "one");
    ReportMessage(*ctx_, 0, "two");
    ctx_->ring.storage[0] = 3;  // size below a header
    EXPECT_TRUE(DeliverOneRecord(*ctx_));
    EXPECT_FALSE(DeliverOneRecord(*ctx_));
    EXPECT_TRUE(host_.lines.empty());
    EXPECT_TRUE(RingEmpty());
}

TEST_F(RingTest, FullRingWithoutDispatcherDropsInsteadOfOverwriting) {
    ctx_->ring.flushTimeoutMs = 1;
    const int total = 100;
    for (int i = 0; i < total; ++i) ReportText(*ctx_, 0, Numbered(i, 200).c_str());
    // The ring is full from 0 to near its end; the read position is still 0,
    // so the filler that would wrap the write position onto it is refused too.
    while (DeliverOneRecord(*ctx_)) {
    }
    const size_t kept = host_.lines.size();
    ASSERT_GE(kept, 70u);
    ASSERT_LT(kept, 80u);
    for (size_t i = 0; i < kept; ++i) EXPECT_EQ(host_.lines[i].text, Numbered(static_cast<int>(i), 200));

    host_.lines.clear();
    ReportText(*ctx_, 0, "after");
    while (DeliverOneRecord(*ctx_)) {
    }
    const std::string notice =
        "Dropped " + std::to_string(total - kept) + " message(s): the host did not take them in time";
    EXPECT_EQ(host_.lines, (std::vector<Line>{{0, notice}, {0, "after"}}));
    EXPECT_EQ(ctx_->ring.droppedRecords, 0u);
}

TEST_F(RingTest, RecordThatWouldReachTheReadPositionExactlyIsRefused) {
    // Wrapped ring: a filler and record A at [0, 284), the read position at
    // the filler. Then records that fill [284, r) to the byte: the last one
    // would make the write position equal the read position (an "empty"
    // ring), so it must not be stored.
    ctx_->ring.flushTimeoutMs = 1;
    const uint32_t r = kRingSize - 100;
    ctx_->ring.writePos = r;
    ctx_->ring.readPos = r;
    ReportText(*ctx_, 0, std::string(259, 'A').c_str());
    ASSERT_EQ(ctx_->ring.writePos.load(), 284u);
    const uint32_t gap = r - 284;  // 16000 bytes
    const uint32_t full = gap / 284;
    for (uint32_t i = 0; i < full; ++i) ReportText(*ctx_, 0, Numbered(static_cast<int>(i), 259).c_str());
    const uint32_t rest = gap - full * 284;
    ASSERT_GE(rest, 25u + 7u);
    ReportText(*ctx_, 0, Numbered(static_cast<int>(full), rest - 25).c_str());  // exactly up to r
    EXPECT_EQ(ctx_->ring.droppedRecords, 1u);
    while (DeliverOneRecord(*ctx_)) {
    }
    ASSERT_EQ(host_.lines.size(), full + 1);
    EXPECT_EQ(host_.lines[0].text, std::string(259, 'A'));
    EXPECT_EQ(host_.lines.back().text, Numbered(static_cast<int>(full - 1), 259));
}

TEST_F(RingTest, SlowDispatcherGetsEverythingInOrderAcrossWraps) {
    // Every 40th message the host takes a millisecond.
    host_.handle.message = [](FlashHandle* h, int32_t level, const char* text) -> int32_t {
        auto& host = RecordingHost::Of(h);
        host.lines.push_back({level, text});
        if (host.lines.size() % 40 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    };
    StartConsumer();
    const int total = 3000;
    size_t bytes = 0;
    for (int i = 0; i < total; ++i) {
        const std::string text = Numbered(i, static_cast<size_t>(i * 37) % 260);
        bytes += 24 + text.size() + 1;
        ReportText(*ctx_, i % 3, text.c_str());
        if (i % 500 == 0) {
            ProgressBegin(*ctx_, "phase", 10);
            ReportStatus(*ctx_, ("status " + std::to_string(i)).c_str());
            ProgressEnd(*ctx_);
        }
    }
    FlushToHost(*ctx_);
    EXPECT_TRUE(RingEmpty());
    StopConsumer();
    ASSERT_GT(bytes, 10u * kRingSize);  // many wraps

    int next = 0;
    size_t prevented = 0;
    for (size_t k = 0; k < host_.lines.size(); ++k) {
        const Line& l = host_.lines[k];
        if (l.text == kPrevented) {
            EXPECT_EQ(l.level, 0);
            ASSERT_GT(k, 0u);
            EXPECT_NE(host_.lines[k - 1].text, kPrevented);  // it follows the record that waited
            ++prevented;
            continue;
        }
        ASSERT_EQ(NumberOf(l.text), next) << l.text.substr(0, 40);
        EXPECT_EQ(l.text, Numbered(next, static_cast<size_t>(next * 37) % 260).substr(0, 259));
        EXPECT_EQ(l.level, next % 3);
        ++next;
    }
    EXPECT_EQ(next, total);
    EXPECT_EQ(ctx_->ring.droppedRecords, 0u);
    EXPECT_EQ(host_.statuses.size(), 6u);
    EXPECT_EQ(host_.progress.size(), 12u);
    std::printf("[ info ] %zu waits for the host over %zu bytes\n", prevented, bytes);
}

TEST_F(RingTest, StalledDispatcherLosesNewRecordsNotOldOnes) {
    static std::mutex gate;
    static std::condition_variable opened;
    static bool stalled;
    stalled = true;
    host_.handle.message = [](FlashHandle* h, int32_t level, const char* text) -> int32_t {
        RecordingHost::Of(h).lines.push_back({level, text});
        if (std::strcmp(text, "stall") == 0) {
            std::unique_lock lock(gate);
            opened.wait_for(lock, std::chrono::seconds(20), [] { return !stalled; });
        }
        return 0;
    };
    ctx_->ring.flushTimeoutMs = 5;
    StartConsumer();
    ReportText(*ctx_, 0, "stall");
    const int total = 120;
    for (int i = 0; i < total; ++i) ReportText(*ctx_, 0, Numbered(i, 200).c_str());
    EXPECT_GT(ctx_->ring.droppedRecords, 0u);

    {
        std::lock_guard lock(gate);
        stalled = false;
    }
    opened.notify_all();
    for (int i = 0; i < 5000 && !RingEmpty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 5; ++i) ReportText(*ctx_, 0, ("tail " + std::to_string(i)).c_str());
    FlushToHost(*ctx_);
    StopConsumer();

    // stall, msg 0..k-1 in order, the notice with the count of the missing
    // ones, then the tail.
    ASSERT_FALSE(host_.lines.empty());
    EXPECT_EQ(host_.lines[0].text, "stall");
    size_t k = 1;
    int next = 0;
    while (k < host_.lines.size() && NumberOf(host_.lines[k].text) >= 0) {
        EXPECT_EQ(host_.lines[k].text, Numbered(next, 200));
        ++next;
        ++k;
    }
    ASSERT_GT(next, 50);
    ASSERT_LT(next, total);
    std::vector<std::string> rest;
    for (; k < host_.lines.size(); ++k) rest.push_back(host_.lines[k].text);
    const std::string notice =
        "Dropped " + std::to_string(total - next) + " message(s): the host did not take them in time";
    EXPECT_EQ(rest, (std::vector<std::string>{notice, "tail 0", "tail 1", "tail 2", "tail 3", "tail 4"}));
}

TEST_F(RingTest, FlushWaitsForTheDispatcherOnlyAsLongAsAllowed) {
    ReportMessage(*ctx_, 0, "waiting");
    ctx_->ring.flushTimeoutMs = 30;
    const auto start = std::chrono::steady_clock::now();
    FlushToHost(*ctx_);  // nobody drains
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
    EXPECT_FALSE(RingEmpty());

    StartConsumer();
    ctx_->ring.flushTimeoutMs = kFlushTimeoutMs;
    for (int i = 0; i < 50; ++i) ReportMessage(*ctx_, 0, "line %d", i);
    FlushToHost(*ctx_);
    EXPECT_TRUE(RingEmpty());
    StopConsumer();
    EXPECT_EQ(host_.lines.size(), 51u);
}

}  // namespace
}  // namespace flashwire::test
