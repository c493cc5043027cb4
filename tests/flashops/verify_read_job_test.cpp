// The verify and read jobs: their blocks, the first difference, the read
// blocks by rate and loader limit, buffers and ranges outside the flash.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "flashops/job_rig.h"

namespace flashwire::job_test {
namespace {

uint32_t U32At(const std::vector<uint8_t>& p, std::size_t at) {
    return p.size() < at + 4 ? 0 : static_cast<uint32_t>(p[at] | p[at + 1] << 8 | p[at + 2] << 16 | p[at + 3] << 24);
}

std::vector<uint32_t> Lengths(JobRig& rig, const std::string& token) {
    std::vector<uint32_t> out;
    for (const auto& c : rig.Commands(token)) out.push_back(U32At(c.payload, 4));
    return out;
}

TEST(VerifyJob, ComparesIn64KiBBlocksAndStopsAtTheFirstDifference) {
    JobRig rig("demo-passive");
    const Image image = {{0x10000, Pattern(0x28000, 1)}};
    rig.phone().flash().Store(0x10000, image.at(0x10000));
    const std::string options = "/com=1 /maxspeed=921600 /mode=verify /file=" + rig.WriteImage(image);
    ASSERT_TRUE(rig.Options(options));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_EQ(Lengths(rig, "VRFY"), (std::vector<uint32_t>{0x10000, 0x10000, 0x8000}));
    EXPECT_EQ(rig.Commands("DONE").size(), 1u);

    std::vector<uint8_t> changed = {static_cast<uint8_t>(image.at(0x10000)[0x18000] ^ 1)};
    rig.phone().flash().Store(0x28000, changed);
    EXPECT_EQ(rig.RunAgain(options), ERR_VERIFY_DIFFERENCE);
    EXPECT_EQ(Lengths(rig, "VRFY").size(), 5u) << "no third block compared";
    EXPECT_EQ(rig.Commands("DONE").size(), 1u) << "no DONE after a difference";
    int differences = 0;
    for (const auto& line : rig.rig->host.lines)
        differences += line.level == 1 && line.text.rfind("VerifyData: Difference found ! (0x", 0) == 0;
    EXPECT_EQ(differences, 1);
}

TEST(ReadJob, BlockSizesFollowTheRateAndTheLoadersLimit) {
    const struct {
        const char* speed;
        uint32_t maxRx;
        std::vector<uint32_t> blocks;
    } cases[] = {
        {"460800", 0x2000, {0x2000, 0x2000, 0x1000}},
        {"115200", 0x2000, {0x1000, 0x1000, 0x1000, 0x1000, 0x1000}},
        {"921600", 0x1800, {0x1800, 0x1800, 0x1800, 0x800}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.speed);
        JobRig rig("demo-active", 1, [&](sim::PhoneConfig& config) { config.flashLoader.maxRxSize = c.maxRx; });
        rig.phone().flash().Store(0, Pattern(0x5000, 2));
        const std::string save = rig.dir() + "/read.s19";
        ASSERT_TRUE(rig.Options(std::string("/com=1 /maxspeed=") + c.speed + " /mode=read /read=0x0-0x4FFF /savefile=" + save));
        ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
        EXPECT_EQ(Lengths(rig, "SUCK"), c.blocks);
        EXPECT_TRUE(rig.HasLine("Read region  0: 0x00000000 - 0x00004fff: 20 KB (20480 Bytes)"));
        const auto saved = ReadSRecordBytes(save);
        ASSERT_EQ(saved.size(), 0x5000u);
        const auto flash = rig.Flash(0, 0x5000);
        for (const auto& [address, byte] : saved) ASSERT_EQ(byte, flash[address]) << address;
    }
}

// Two 1 MiB flash definitions that touch, and a 4 MiB chip behind a 1 MiB one.
const char* const kTypes =
    "[Description]\n0x0042_0x00000110=Test 8 Mbit\n0x0042_0x00000140=Test 32 Mbit\n"
    "[ChipInfo]\n0x0042_0x00000110=amd,B8M1,standard\n0x0042_0x00000140=amd,U64x64,standard\n"
    "[Layouts]\nB8M1=8*8,64*15\nU64x64=64*64\n";
const char* const kPlatforms =
    "[touching]\nBootLoader=passive\nFlashLoader=loaders/flash_loader.s19\nFlashLoaderBaseAddr=0x0\nChipDesc=1\n"
    "Flash0=0x0,1,0\nFlash1=0x100000,1,0\nSimChip0=0x0042_0x00000110\nSimChip1=0x0042_0x00000110\n"
    "[short]\nBootLoader=passive\nFlashLoader=loaders/flash_loader.s19\nFlashLoaderBaseAddr=0x0\nChipDesc=1\n"
    "Flash0=0x0,1,0\nSimChip0=0x0042_0x00000140\n";

TEST(ReadJob, BlocksEndWhereTheirBufferEnds) {
    TestConfig config(kPlatforms, kTypes);
    JobRig rig("touching", 1, {}, config.dir());
    ASSERT_EQ(rig.configError, "");
    rig.phone().flash().Store(0xFF000, Pattern(0x2000, 3));
    const std::string save = rig.dir() + "/read.s19";
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=921600 /mode=read /read=0xFF000-0x100FFF /savefile=" + save));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    std::vector<uint32_t> firsts;
    for (const auto& c : rig.Commands("SUCK")) firsts.push_back(U32At(c.payload, 0));
    EXPECT_EQ(firsts, (std::vector<uint32_t>{0xFF000, 0x100000}));
    EXPECT_EQ(Lengths(rig, "SUCK"), (std::vector<uint32_t>{0x1000, 0x1000}));
    EXPECT_EQ(ReadSRecordBytes(save).size(), 0x2000u);
}

TEST(ReadJob, RangesOutsideTheFlashOrItsBuffersAreRefused) {
    {
        JobRig rig("demo-active");  // one 1 MiB chip
        ASSERT_TRUE(rig.Options("/com=1 /mode=read /read=0xFF000-0x100000 /savefile=" + rig.dir() + "/x.s19"));
        EXPECT_EQ(rig.Run(), ERR_RANGE_OUTSIDE_FLASH);
        EXPECT_TRUE(rig.HasLine("Data outside flash memory:", 2));
        EXPECT_TRUE(rig.HasLine("0x00100000 - 0x00100000", 2));
        EXPECT_TRUE(rig.Commands("SETP").empty());
    }
    {
        // Inside the chip, but no buffer of the platform's flash definitions holds it.
        TestConfig config(kPlatforms, kTypes);
        JobRig rig("short", 1, {}, config.dir());
        ASSERT_TRUE(rig.Options("/com=1 /mode=read /read=0x100000-0x100FFF /savefile=" + rig.dir() + "/x.s19"));
        EXPECT_EQ(rig.Run(), ERR_RANGE_OUTSIDE_FLASH) << rig.Transcript();
        EXPECT_TRUE(rig.HasLine("No image buffer holds address 0x00100000", 2));
        EXPECT_TRUE(rig.Commands("SETP").empty());
        EXPECT_FALSE(std::filesystem::exists(rig.dir() + "/x.s19"));
    }
    {
        // Erasing the unused flash would write the whole chip: refused before anything is written.
        TestConfig config(kPlatforms, kTypes);
        JobRig rig("short", 1, {}, config.dir());
        const Image image = {{0x1000, Pattern(0x100, 4)}};
        ASSERT_TRUE(rig.Options("/com=1 /mode=flash /eraseunused=1 /file=" + rig.WriteImage(image)));
        EXPECT_EQ(rig.Run(), ERR_RANGE_OUTSIDE_FLASH) << rig.Transcript();
        EXPECT_TRUE(rig.HasLine("No image buffer holds address 0x00100000", 2));
        EXPECT_TRUE(rig.Commands("SETP").empty());
    }
}

TEST(ReadJob, FailedReadsAreRetriedThenGivenUp) {
    JobRig rig("demo-active", 1, [](sim::PhoneConfig& c) {
        for (uint32_t i = 0; i < 5; ++i) c.faults.replies.push_back({"SUCK", 1 + i, sim::ReplyFaultKind::BadCrc});
    });
    const std::string save = rig.dir() + "/read.s19";
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=921600 /mode=read /read=0x0-0x3FFF /savefile=" + save));
    EXPECT_EQ(rig.Run(), ERR_TOO_MANY_RETRIES);
    EXPECT_TRUE(rig.HasLine("Retry 4: ReadData"));
    EXPECT_TRUE(rig.HasLine("Giving up on ReadData"));
    EXPECT_FALSE(std::filesystem::exists(save)) << "nothing is saved when a read fails";
}

// A save file that cannot be created ends the read job before the phone is
// touched; an existing one is left as it is until the read has succeeded.
TEST(ReadJob, SaveFileIsCheckedBeforeThePhoneIsTouched) {
    {
        JobRig rig("demo-active");
        const std::string save = rig.dir() + "/no-such-directory/read.s19";
        ASSERT_TRUE(rig.Options("/com=1 /mode=read /read=0x0-0xFFF /savefile=" + save));
        EXPECT_EQ(rig.Run(), ERR_WRONG_FILE_SAVE) << rig.Transcript();
        const std::string line = "Error: Unable to create save file \"" + save + "\": " + std::strerror(ENOENT) +
                                 "; nothing was read. Choose a file in a directory you may write to.";
        EXPECT_TRUE(rig.HasLine(line, 2)) << rig.Transcript();
        EXPECT_EQ(rig.phone().bytesFromHost(0), 0u) << "not a byte to the phone";
    }
    {
        JobRig rig("demo-active", 1, [](sim::PhoneConfig& c) {
            for (uint32_t i = 0; i < 5; ++i) c.faults.replies.push_back({"SUCK", i, sim::ReplyFaultKind::Refuse});
        });
        const std::string save = rig.dir() + "/read.s19";
        std::ofstream(save) << "kept\n";
        ASSERT_TRUE(rig.Options("/com=1 /mode=read /read=0x0-0xFFF /savefile=" + save));
        EXPECT_EQ(rig.Run(), ERR_TOO_MANY_RETRIES);
        std::ifstream in(save);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept\n");
    }
}

}  // namespace
}  // namespace flashwire::job_test
