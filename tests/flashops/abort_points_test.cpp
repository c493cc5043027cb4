// An abort requested while the flash loader stage or a job's retry waits on
// the phone ends the job with ERR_ABORT, whatever exchange was under way: one
// whole job per place the abort is polled. The phone refuses the command named
// first (so the retry runs) and the abort comes with the reply the host is
// waiting for next, which the phone then never sends.
#include <gtest/gtest.h>

#include "flashops/job_rig.h"

namespace flashwire::job_test {
namespace {

struct AbortCase {
    const char* name;
    const char* options;
    const char* refused;  // the reply refused once before the abort ("" none)
    const char* abortAt;  // the reply silenced while the abort is raised
    const char* retryLine;
    bool flashUntouched = true;  // a refused "CLOS" has programmed the sector already
};

class AbortPoint : public ::testing::TestWithParam<AbortCase> {};

TEST_P(AbortPoint, EndsWithErrAbort) {
    const AbortCase& c = GetParam();
    JobRig rig("demo-active", 1, [&](sim::PhoneConfig& config) {
        if (*c.refused) config.faults.replies.push_back({c.refused, 0, sim::ReplyFaultKind::Refuse});
    });
    const Image image = {{0x10000, Pattern(0x300, 4)}};
    ASSERT_TRUE(rig.Options(std::string(c.options) + " /diff=0 /file=" + rig.WriteImage(image)));
    bool refused = *c.refused == '\0';
    bool raised = false;
    FlashContext& ctx = rig.ctx();
    rig.phone().SetReplyFilter([&](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (!refused) {
            refused = r.token == c.refused;
        } else if (!raised && r.token == c.abortAt) {
            bytes.clear();
            ctx.abortRequested = true;
            raised = true;
        }
    });

    EXPECT_EQ(rig.Run(), ERR_ABORT) << rig.Transcript();
    EXPECT_TRUE(raised);
    const auto& lines = rig.rig->host.lines;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].text, "Error code: ERR_ABORT");
    EXPECT_EQ(lines.back().text, "Sorry, an error has occured ! (ERR_ABORT)");
    EXPECT_EQ(rig.CountLines("Failed to sync"), 0) << "an abort is no line fault";
    if (*c.retryLine) {
        EXPECT_TRUE(rig.HasLine(c.retryLine)) << rig.Transcript();
    }
    if (c.flashUntouched) {
        EXPECT_EQ(rig.Flash(0x10000, 0x300), std::vector<uint8_t>(0x300, 0xFF));
    }
}

const AbortCase kAbortCases[] = {
    {"FirstSync", "/com=1 /mode=flash", "", "syn!", ""},
    {"InfoExchange", "/com=1 /mode=flash", "", "INFO", ""},
    {"CheckConnectionResync", "/com=1,2 /mode=flash", "CHKC", "syn!", "Retry 1: CheckConnection"},
    {"BaudRateResync", "/com=1 /maxspeed=921600 /mode=flash", "BAUD", "syn!", "Retry 1: BaudRate"},
    {"OpenSectorResync", "/com=1 /mode=flash", "OPEN", "syn!", "Retry 1: OpenSector"},
    {"SendDataResync", "/com=1 /mode=flash", "TXDT", "syn!", "Retry 1: SendData"},
    {"EraseSectorResync", "/com=1 /mode=flash /extprotect=1", "ERAS", "syn!", "Retry 1: EraseSector"},
    {"CloseSectorResync", "/com=1 /mode=flash", "CLOS", "syn!", "Retry 1: CloseSector", false},
    {"VerifySetupResync", "/com=1 /mode=verify", "SETP", "syn!", "Retry 1: Setup"},
};

INSTANTIATE_TEST_SUITE_P(Loader, AbortPoint, ::testing::ValuesIn(kAbortCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace flashwire::job_test
