// The duration text of a phase, and a failed start-up that runs no job.
#include <gtest/gtest.h>

#include "job/phase_runner.h"
#include "flashops/job_rig.h"

namespace flashwire::job_test {
namespace {

TEST(RunPhase, DurationText) {
    const struct {
        uint32_t ms;
        const char* text;
    } cases[] = {{999, "1s"}, {59'999, "59s"}, {60'000, "1:00"}, {3'599'000, "59:59"}, {3'725'000, "1:02:05"}};
    for (const auto& c : cases) {
        char text[32];
        FormatDuration(c.ms / 1000, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.ms;
    }
}

TEST(RunPhase, AFailedStartUpRunsNoJob) {
    // Every "INFO" refused: five tries, then the code of the last.
    JobRig rig("demo-active", 1, [](sim::PhoneConfig& c) {
        for (uint32_t i = 0; i < 5; ++i) c.faults.replies.push_back({"INFO", i, sim::ReplyFaultKind::Refuse});
    });
    const Image image = {{0x10000, Pattern(0x100, 1)}};
    ASSERT_TRUE(rig.Options("/com=1 /mode=verify /file=" + rig.WriteImage(image)));
    EXPECT_EQ(rig.Run(), ERR_CMD_FAILED);
    EXPECT_TRUE(rig.HasLine("SendFile: 20 (ERR_CMD_FAILED)"));
    EXPECT_EQ(rig.Commands("INFO").size(), 5u);
    EXPECT_TRUE(rig.Commands("SETP").empty());
    EXPECT_TRUE(rig.HasLine("Sorry, an error has occured ! (ERR_CMD_FAILED)", 2));
}

}  // namespace
}  // namespace flashwire::job_test
