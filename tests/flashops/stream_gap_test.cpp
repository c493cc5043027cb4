// The pause between a "TXDT" frame and its streams, against a phone whose
// loader arms its receive a few ms after the frame: the default pause gets
// every block through; with "StreamGap=0" the first stream bytes are lost and
// the job fails as such a phone makes it fail; a loader that buffers early
// bytes takes the gap of 0.
#include <gtest/gtest.h>

#include "flashops/job_rig.h"

namespace flashwire::job_test {
namespace {

TEST(StreamGap, DefaultGapPassesAnArmingLoaderGapZeroDoesNot) {
    const struct {
        const char* name;
        const char* key;       // lines added to the platform's section
        uint64_t armingUs;
        uint32_t result;
    } cases[] = {
        {"default gap", "", kStreamArmingUs, SUCCESS},
        {"gap 0, arming loader", "StreamGap=0\n", kStreamArmingUs, ERR_TOO_MANY_RETRIES},
        {"gap 0, buffering loader", "StreamGap=0\n", 0, SUCCESS},
    };
    const Image image = {{0x20000, Pattern(0x3000, 9)}};  // one block, split over both ports
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TestConfig config(PlatformDefWith("demo-passive", c.key), ShippedFlashTypes());
        JobRig rig("demo-passive", 1, [&](sim::PhoneConfig& p) { p.timing.streamArmingUs = c.armingUs; }, config.dir());
        ASSERT_EQ(rig.configError, "");
        ASSERT_TRUE(rig.Options("/com=1,2 /maxspeed=921600,921600 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
        EXPECT_EQ(rig.Run(), c.result) << rig.Transcript();
        EXPECT_TRUE(rig.HasLine("2 port(s) will be used"));
        std::size_t unarmed = 0;
        for (const auto& f : rig.phone().faultLog()) unarmed += f.kind == sim::FaultKind::StreamNotArmed;
        if (c.result == SUCCESS) {
            EXPECT_TRUE(rig.PhoneHolds(image));
            EXPECT_EQ(unarmed, 0u);
        } else {
            EXPECT_TRUE(rig.HasLine("Giving up on SendData"));
            EXPECT_EQ(rig.Commands("TXDT").size(), 5u);
            EXPECT_GE(unarmed, 5u) << "each try lost its first bytes";
            EXPECT_EQ(rig.Flash(0x20000, 0x3000), std::vector<uint8_t>(0x3000, 0xFF)) << "nothing written";
        }
    }
}

}  // namespace
}  // namespace flashwire::job_test
