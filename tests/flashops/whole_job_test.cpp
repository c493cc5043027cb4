// Whole jobs from power-on on every shipped platform, one and two ports:
// flash, verify and read back, checked by the phone's flash and the saved file.
#include <gtest/gtest.h>

#include "flashops/job_rig.h"
#include "image/srec_reader.h"

namespace flashwire::job_test {
namespace {

struct PlatformCase {
    const char* platform;
    uint32_t base;  // where the test image goes
};

class WholeJob : public ::testing::TestWithParam<std::tuple<PlatformCase, int>> {};

TEST_P(WholeJob, FlashVerifyReadFromPowerOn) {
    const auto [pc, ports] = GetParam();
    const std::string com = ports == 2 ? "/com=1,2 /maxspeed=921600,921600" : "/com=1 /maxspeed=921600";
    // A range crossing a sector border, and a second short range.
    const Image image = {{pc.base + 0x1F00, Pattern(0x10300, 1)}, {pc.base + 0x30000, Pattern(77, 2)}};

    JobRig flash(pc.platform);
    ASSERT_EQ(flash.configError, "");
    ASSERT_TRUE(flash.Options(com + " /mode=flash /diff=0 /file=" + flash.WriteImage(image)));
    ASSERT_EQ(flash.Run(), SUCCESS) << flash.Transcript();
    EXPECT_TRUE(flash.PhoneHolds(image));
    EXPECT_EQ(flash.Flash(pc.base + 0x1F00 - 16, 16), std::vector<uint8_t>(16, 0xFF)) << "bytes before the image";
    EXPECT_TRUE(flash.HasLine("All is well !"));

    const std::string file = "/file=" + flash.WriteImage(image);
    EXPECT_EQ(flash.RunAgain(com + " /mode=verify " + file), SUCCESS) << flash.Transcript();
    const std::string save = flash.dir() + "/read.s19";
    char read[128];
    std::snprintf(read, sizeof read, "/read=0x%x-0x%x /read=0x%x-0x%x", pc.base + 0x1E00, pc.base + 0x12300, pc.base + 0x30000,
                  pc.base + 0x3004C);
    EXPECT_EQ(flash.RunAgain(com + " /mode=read /savefile=" + save + " " + read), SUCCESS) << flash.Transcript();
    const auto saved = ReadSRecordBytes(save);
    EXPECT_EQ(saved.size(), 0x10501u + 77u);
    std::size_t same = 0;
    for (const auto& [address, byte] : saved) same += flash.Flash(address, 1)[0] == byte;
    EXPECT_EQ(same, saved.size()) << "saved bytes equal the phone's flash";
    EXPECT_TRUE(flash.phone().faultLog().empty()) << "no byte crossed the line at a wrong rate";
}

INSTANTIATE_TEST_SUITE_P(Platforms, WholeJob,
                         ::testing::Combine(::testing::Values(PlatformCase{"demo-active", 0},
                                                              PlatformCase{"demo-passive", 0},
                                                              PlatformCase{"demo-passive-setup", 0},
                                                              PlatformCase{"demo-mit1", 0x4000000}),
                                            ::testing::Values(1, 2)));

}  // namespace
}  // namespace flashwire::job_test

namespace flashwire::job_test {
namespace {

TEST(WholeJob, PhasesSplitAcrossTwoJobs) {
    // A boot-loader-only job leaves the flash loader running; a flash-loader-only job uses it.
    JobRig rig("demo-passive-setup");
    const Image image = {{0x8000, Pattern(0x9000, 5)}};
    const std::string file = "/com=1 /maxspeed=460800 /mode=flash /diff=0 /file=" + rig.WriteImage(image);
    ASSERT_EQ(rig.RunAgain(file + " /phases=bl", false), SUCCESS) << rig.Transcript();
    EXPECT_TRUE(rig.Commands("o").empty()) << "no end byte after the boot-loader phase";
    EXPECT_TRUE(rig.Commands("SETP").empty());
    ASSERT_EQ(rig.RunAgain(file + " /phases=fl", false), SUCCESS) << rig.Transcript();
    EXPECT_EQ(rig.CountLines("Power on mobile !"), 1);
    EXPECT_EQ(rig.Commands("o").size(), 1u);
    EXPECT_TRUE(rig.PhoneHolds(image));
    EXPECT_EQ(rig.phone().bootCount(), 1u);
}

TEST(WholeJob, EndByteRestartsThePhoneForTheNextJob) {
    // A phone that restarts into its boot ROM on the end byte takes flash,
    // verify and read in a row without being powered off in between.
    for (const char* platform : {"demo-active", "demo-passive-setup"}) {
        SCOPED_TRACE(platform);
        JobRig rig(platform, 1, [](sim::PhoneConfig& c) { c.restartOnEndByte = true; });
        const Image image = {{0x4000, Pattern(0x5000, 9)}};
        const std::string com = "/com=1,2 /maxspeed=921600,921600 ";
        const std::string file = "/file=" + rig.WriteImage(image);
        ASSERT_EQ(rig.RunAgain(com + "/mode=flash /diff=0 " + file, false), SUCCESS) << rig.Transcript();
        ASSERT_EQ(rig.RunAgain(com + "/mode=verify " + file, false), SUCCESS) << rig.Transcript();
        const std::string save = rig.dir() + "/read.s19";
        ASSERT_EQ(rig.RunAgain(com + "/mode=read /read=0x4000-0x8fff /savefile=" + save, false), SUCCESS)
            << rig.Transcript();
        EXPECT_EQ(ReadSRecordBytes(save).size(), 0x5000u);
        EXPECT_TRUE(rig.PhoneHolds(image));
        EXPECT_EQ(rig.phone().endByteRestarts(), 3u);
        EXPECT_EQ(rig.phone().bootCount(), 4u);  // power-on and three restarts
        EXPECT_TRUE(rig.phone().flashLoaderImage().bytes.empty()) << "the flash loader is gone";
    }
}

}  // namespace
}  // namespace flashwire::job_test
