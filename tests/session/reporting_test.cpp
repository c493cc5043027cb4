// Reporting outside a job (straight to the host) and progress with its throttle.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/test_host.h"
#include "session/reporting.h"

namespace flashwire::test {
namespace {

class ReportingTest : public ::testing::Test {
protected:
    void SetUp() override { ctx_ = &host_.Bind(platform::Services{&clock_, nullptr, nullptr, nullptr}); }
    FakeClock clock_{0x40000000u};
    RecordingHost host_;
    FlashContext* ctx_ = nullptr;
};

TEST_F(ReportingTest, MessagesGoStraightToTheHost) {
    ReportMessage(*ctx_, 1, "Error: Unable to open file \"%s\" (%d)", "a.s19", 5);
    ReportText(*ctx_, 2, "100% as it stands %s");
    ReportStatus(*ctx_, "All is well !");
    EXPECT_EQ(host_.lines, (std::vector<Line>{{1, "Error: Unable to open file \"a.s19\" (5)"},
                                              {2, "100% as it stands %s"}}));
    EXPECT_EQ(host_.statuses, (std::vector<std::string>{"All is well !"}));
}

TEST_F(ReportingTest, LinesAreCutAt259Characters) {
    const std::string big(400, 'q');
    ReportMessage(*ctx_, 0, "%s", big.c_str());
    ReportText(*ctx_, 0, big.c_str());
    ReportStatus(*ctx_, big.c_str());
    ctx_->debug = true;
    ReportDebug(*ctx_, "%s%s", big.c_str(), big.c_str());
    ASSERT_EQ(host_.lines.size(), 3u);
    for (const Line& l : host_.lines) EXPECT_EQ(l.text, big.substr(0, 259));
    EXPECT_EQ(host_.statuses.at(0), big.substr(0, 259));
}

TEST_F(ReportingTest, DebugLinesOnlyWithDebugOption) {
    ReportDebug(*ctx_, "hidden %d", 1);
    ReportDebugText(*ctx_, "hidden");
    EXPECT_TRUE(host_.lines.empty());
    ctx_->debug = true;
    ReportDebug(*ctx_, "shown %d", 2);
    ReportDebugText(*ctx_, "shown %d");
    EXPECT_EQ(host_.lines, (std::vector<Line>{{0, "shown 2"}, {0, "shown %d"}}));
}

TEST_F(ReportingTest, EmptySlotsSilenceOutputOnly) {
    host_.handle.message = nullptr;
    host_.handle.status = nullptr;
    host_.handle.progressBegin = nullptr;
    host_.handle.progressUpdate = nullptr;
    host_.handle.progressEnd = nullptr;
    ReportMessage(*ctx_, 0, "x");
    ReportStatus(*ctx_, "x");
    ProgressBegin(*ctx_, "phase", 10);
    ProgressUpdate(*ctx_, 4);
    ProgressEnd(*ctx_);
    EXPECT_TRUE(host_.lines.empty());
    // The phase still counts.
    EXPECT_EQ(ctx_->progressTotal, 10u);
    EXPECT_EQ(ctx_->progressDone, 4u);
    EXPECT_EQ(ctx_->progressPercent, 40u);
    // A context without a handle reports nowhere and does not crash.
    auto lone = std::make_unique<FlashContext>();
    ReportMessage(*lone, 0, "x");
    ProgressBegin(*lone, nullptr, 0);
    ProgressUpdate(*lone, 1);
    ReportStatus(*lone, nullptr);
}

TEST_F(ReportingTest, ProgressTotalZeroCountsAsOne) {
    ProgressBegin(*ctx_, "Erasing", 0);
    ProgressUpdate(*ctx_, 5);
    ProgressEnd(*ctx_);
    EXPECT_EQ(host_.progress, (std::vector<std::string>{"begin Erasing 1", "update 1 100", "end"}));
}

TEST_F(ReportingTest, ProgressClampsToTheTotal) {
    ProgressBegin(*ctx_, "Reading", 100);
    ProgressUpdate(*ctx_, 150);
    EXPECT_EQ(host_.progress.back(), "update 100 100");
    EXPECT_EQ(ctx_->progressDone, 100u);
}

TEST_F(ReportingTest, EqualPercentsAtMostOncePerSecond) {
    ProgressBegin(*ctx_, "Flashing", 1000);
    for (int i = 0; i < 10; ++i) {
        ProgressUpdate(*ctx_, 370 + i);  // 37 % every time
        clock_.Advance(90);
    }
    EXPECT_EQ(host_.progress, (std::vector<std::string>{"begin Flashing 1000", "update 370 37"}));
    ProgressUpdate(*ctx_, 380);  // 38 %: delivered at once
    EXPECT_EQ(host_.progress.back(), "update 380 38");
    ProgressUpdate(*ctx_, 381);
    EXPECT_EQ(host_.progress.size(), 3u);
    clock_.Advance(999);
    ProgressUpdate(*ctx_, 382);
    EXPECT_EQ(host_.progress.size(), 3u);
    clock_.Advance(1);  // a second since the last delivered update
    ProgressUpdate(*ctx_, 383);
    EXPECT_EQ(host_.progress.back(), "update 383 38");
}

TEST_F(ReportingTest, TheLastUpdateTickIsSharedByAllContexts) {
    RecordingHost other;
    FlashContext& second = other.Bind(platform::Services{&clock_, nullptr, nullptr, nullptr});
    ProgressBegin(*ctx_, "first", 100);
    ProgressBegin(second, "second", 100);
    clock_.Advance(5000);
    ProgressUpdate(*ctx_, 10);  // delivered: the library's last update is now
    EXPECT_EQ(host_.progress.back(), "update 10 10");
    clock_.Advance(500);
    ProgressUpdate(second, 0);  // same percent as the second phase's, half a second later
    EXPECT_EQ(other.progress, (std::vector<std::string>{"begin second 100"}));
    clock_.Advance(500);
    ProgressUpdate(second, 0);  // a second since the last update anywhere
    EXPECT_EQ(other.progress.back(), "update 0 0");
}

TEST_F(ReportingTest, PercentIsTruncated) {
    ProgressBegin(*ctx_, "p", 3);
    ProgressUpdate(*ctx_, 2);  // 66.67 %
    EXPECT_EQ(host_.progress.back(), "update 2 66");
    ProgressBegin(*ctx_, "big", 0xFFFFFFFFu);
    ProgressUpdate(*ctx_, 0xFFFFFFFEu);  // 99.99999997 %
    EXPECT_EQ(host_.progress.back(), "update 4294967294 99");
}

TEST_F(ReportingTest, ProgressAdvanceAddsAndSaturates) {
    ProgressBegin(*ctx_, "Sending", 300);
    ProgressAdvance(*ctx_, 100);
    ProgressAdvance(*ctx_, 50);
    EXPECT_EQ(ctx_->progressDone, 150u);
    EXPECT_EQ(host_.progress.back(), "update 150 50");
    ProgressAdvance(*ctx_, 0xFFFFFFFFu);
    EXPECT_EQ(ctx_->progressDone, 300u);
    EXPECT_EQ(host_.progress.back(), "update 300 100");
}

TEST_F(ReportingTest, AbortFlagAndFlushOutsideAJob) {
    EXPECT_FALSE(IsAbortRequested(*ctx_));
    ctx_->abortRequested = true;
    EXPECT_TRUE(IsAbortRequested(*ctx_));
    FlushToHost(*ctx_);  // not queued: returns at once
}

}  // namespace
}  // namespace flashwire::test
