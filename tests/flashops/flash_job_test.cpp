// The flash job's commands, blocks, streams, retries and options, on whole
// jobs from power-on, checked by the phone's command log and flash.
#include <gtest/gtest.h>

#include <algorithm>

#include "flashops/job_rig.h"

namespace flashwire::job_test {
namespace {

uint32_t U32At(const std::vector<uint8_t>& p, std::size_t at) {
    return p.size() < at + 4 ? 0 : static_cast<uint32_t>(p[at] | p[at + 1] << 8 | p[at + 2] << 16 | p[at + 3] << 24);
}

// The flash loader commands from the job's "SETP" on.
std::vector<std::string> JobCommands(JobRig& rig) {
    std::vector<std::string> all = rig.LoaderCommands();
    const auto setp = std::find(all.begin(), all.end(), "SETP");
    return std::vector<std::string>(setp, all.end());
}

// The stream lengths of every "TXDT", in order.
std::vector<std::vector<uint32_t>> StreamLengths(JobRig& rig) {
    std::vector<std::vector<uint32_t>> out;
    for (const auto& c : rig.Commands("TXDT")) {
        std::vector<uint32_t> lengths;
        for (uint32_t k = 0; k < (U32At(c.payload, 12) & 0xFFFF); ++k) lengths.push_back(U32At(c.payload, 16 + 16 * k + 8));
        out.push_back(lengths);
    }
    return out;
}

using Commands = std::vector<std::string>;

TEST(FlashJob, ThreeSectorsInBlocksOfMaxTxSize) {
    // Sectors 8..10 of the 64 Mbit chip are 64 KiB each; the loader takes 32 KiB per "TXDT".
    JobRig rig("demo-passive", 1, [](sim::PhoneConfig& c) { c.flashLoader.maxTxSize = 0x8000; });
    const Image image = {{0x10000, Pattern(0x30000, 3)}};
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=460800 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_TRUE(rig.PhoneHolds(image));
    const Commands sector = {"OPEN", "TXDT", "TXDT", "CLOS"};
    Commands expected = {"SETP"};
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), sector.begin(), sector.end());
    expected.push_back("DONE");
    EXPECT_EQ(JobCommands(rig), expected);
    for (const auto& lengths : StreamLengths(rig)) EXPECT_EQ(lengths, std::vector<uint32_t>{0x8000});
    for (const auto& open : rig.Commands("OPEN")) EXPECT_EQ(U32At(open.payload, 12), 0x11u);
    // Sector 8 is closed once the next block is found in sector 9, before that is opened.
    const std::string t = rig.Transcript();
    EXPECT_LT(t.find("SendData: 0x00018000 - 0x0001ffff"), t.find("CloseSector: 0/8"));
    EXPECT_LT(t.find("CloseSector: 0/8"), t.find("Sector: 0/9"));
    EXPECT_LT(t.find("Sector: 0/9"), t.find("OpenSector: 0/9"));
}

TEST(FlashJob, TwoRangesInOneSectorKeepTheBytesAround) {
    JobRig rig("demo-passive");
    const std::vector<uint8_t> before = Pattern(0x10000, 9);
    rig.phone().flash().Store(0x20000, before);
    const Image image = {{0x20100, Pattern(0x100, 4)}, {0x20800, Pattern(0x80, 5)}};
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=921600 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_EQ(JobCommands(rig), (Commands{"SETP", "OPEN", "TXDT", "TXDT", "CLOS", "DONE"}));
    EXPECT_EQ(U32At(rig.Commands("OPEN")[0].payload, 12), 0x13u);
    std::vector<uint8_t> expected = before;
    for (const auto& [address, bytes] : image) std::copy(bytes.begin(), bytes.end(), expected.begin() + (address - 0x20000));
    EXPECT_EQ(rig.Flash(0x20000, 0x10000), expected);
}

TEST(FlashJob, StreamsFollowBlockSizeAndShares) {
    // 921600 and 460800 share 66/33; blocks above 512 bytes are split.
    JobRig rig("demo-passive");
    const Image image = {{0x10000, Pattern(512, 1)}, {0x20000, Pattern(513, 2)}, {0x30000, Pattern(0x10000, 3)}};
    ASSERT_TRUE(rig.Options("/com=1,2 /maxspeed=921600,460800 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_TRUE(rig.PhoneHolds(image));
    EXPECT_TRUE(rig.HasLine("Logical port 0: COM1 <-> UART0 at 921600 baud (~66%)"));
    EXPECT_TRUE(rig.HasLine("Logical port 1: COM2 <-> UART1 at 460800 baud (~33%)"));
    EXPECT_EQ(StreamLengths(rig), (std::vector<std::vector<uint32_t>>{{512}, {338, 175}, {43253, 22283}}));
}

TEST(FlashJob, DiffWritesOnlyWhatDiffers) {
    JobRig rig("demo-passive");
    const Image image = {{0x10000, Pattern(0x20000, 6)}};
    const std::string com = "/com=1 /maxspeed=921600 /file=" + rig.WriteImage(image);
    ASSERT_TRUE(rig.Options(com + " /mode=flash /diff=0"));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();

    // Identical: compared, nothing written.
    const auto erasesBefore = rig.phone().flash().totalErases();
    ASSERT_EQ(rig.RunAgain(com + " /mode=flash /diff=1"), SUCCESS) << rig.Transcript();
    Commands tail = JobCommands(rig);
    tail.erase(tail.begin(), tail.end() - 4);
    EXPECT_EQ(tail, (Commands{"SETP", "VRFY", "VRFY", "DONE"}));
    EXPECT_EQ(rig.phone().flash().totalErases(), erasesBefore);
    const auto& progress = rig.rig->host.progressEvents;
    EXPECT_NE(std::find(progress.begin(), progress.end(), "u131072"), progress.end()) << "progress reaches the total";

    // With extra protection nothing is compared: every sector is written and erased by the host.
    ASSERT_EQ(rig.RunAgain(com + " /mode=flash /diff=1 /extprotect=1"), SUCCESS) << rig.Transcript();
    tail = JobCommands(rig);
    tail.erase(tail.begin(), tail.end() - 10);
    EXPECT_EQ(tail, (Commands{"SETP", "OPEN", "TXDT", "ERAS", "CLOS", "OPEN", "TXDT", "ERAS", "CLOS", "DONE"}));
    for (const auto& open : rig.Commands("OPEN")) EXPECT_TRUE(U32At(open.payload, 12) == 0x08u || U32At(open.payload, 12) == 0x11u);
    EXPECT_TRUE(rig.PhoneHolds(image));
}

// A chip of 256 KiB sectors, in a configuration of the test's own.
const char* const kLargeSectorTypes =
    "[Description]\n0x0057_0x00008840=Test NOR 64 Mbit, uniform 256 KiB (Intel style)\n"
    "0x0042_0x00000110=Test NOR 8 Mbit, bottom boot (AMD style)\n"
    "[ChipInfo]\n0x0057_0x00008840=intel,U256x32,pagebuffer\n0x0042_0x00000110=amd,B8M1,standard\n"
    "[Layouts]\nU256x32=256*32\nB8M1=8*8,64*15\n";
const char* const kLargeSectorPlatform =
    "[large]\nBootLoader=passive\nMIT=0\nFlashLoader=loaders/flash_loader.s19\nFlashLoaderBaseAddr=0x0\n"
    "ChipDesc=1\nFlash0=0x0,8,0\nSimChip0=0x0057_0x00008840\n";

TEST(FlashJob, DiffRewindsToTheStartOfADifferingSector) {
    TestConfig config(kLargeSectorPlatform, kLargeSectorTypes);
    JobRig rig("large", 1, {}, config.dir());
    ASSERT_EQ(rig.configError, "");
    Image image = {{0x40000, Pattern(0x40000, 7)}};
    rig.phone().flash().Store(0x40000, image[0x40000]);
    image[0x40000][0x20000 + 5] ^= 0x5A;  // one byte in the third 64 KiB block
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=921600 /mode=flash /diff=1 /file=" + rig.WriteImage(image)));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_EQ(JobCommands(rig),
              (Commands{"SETP", "VRFY", "VRFY", "VRFY", "OPEN", "TXDT", "TXDT", "TXDT", "TXDT", "CLOS", "DONE"}));
    EXPECT_EQ(U32At(rig.Commands("TXDT")[0].payload, 0), 0x40000u) << "written from the sector's start";
    EXPECT_EQ(rig.CountLines("Sector: 0/1"), 1);
    EXPECT_TRUE(rig.PhoneHolds(image));
}

TEST(FlashJob, EraseUnusedSparesReservedRanges) {
    JobRig rig("demo-active");
    rig.phone().flash().Store(0x0, Pattern(0x100000, 8));
    const std::vector<uint8_t> reserved = rig.Flash(0x20100, 0x100);
    const Image image = {{0x30000, Pattern(0x1000, 9)}};
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=921600 /mode=flash /diff=0 /eraseunused=1 /reserved=0x20100-0x201FF "
                            "/reserved=0xF0000-0xFFFFF /file=" + rig.WriteImage(image)));
    const std::vector<uint8_t> lastSector = rig.Flash(0xF0000, 0x10000);
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_TRUE(rig.HasLine("2 memory regions have to be flashed:"));
    EXPECT_TRUE(rig.PhoneHolds(image));
    EXPECT_EQ(rig.Flash(0x20100, 0x100), reserved);
    EXPECT_EQ(rig.Flash(0xF0000, 0x10000), lastSector);
    EXPECT_EQ(rig.Flash(0x0, 0x20100), std::vector<uint8_t>(0x20100, 0xFF));
    EXPECT_EQ(rig.Flash(0x31000, 0xBF000), std::vector<uint8_t>(0xBF000, 0xFF));
}

// Faults of the phone's replies: (token, refusals) -> result and lines.
TEST(FlashJob, RetriesAndGivingUp) {
    const struct {
        const char* options;
        const char* token;
        uint32_t refusals;
        uint32_t result;
        int retryLines;
        const char* giveUp;
    } cases[] = {
        {"", "OPEN", 4, SUCCESS, 4, nullptr},
        {"", "OPEN", 5, ERR_TOO_MANY_RETRIES, 4, "Giving up on OpenSector"},
        {"", "TXDT", 4, SUCCESS, 4, nullptr},
        {"", "CLOS", 5, ERR_TOO_MANY_RETRIES, 4, "Giving up on CloseSector"},
        {"/noretry=1", "TXDT", 1, ERR_TOO_MANY_RETRIES, 0, "Giving up on SendData"},
        {"/noretry=1", "SETP", 1, ERR_TOO_MANY_RETRIES, 0, "Giving up on Setup"},
        {"", "SETP", 4, SUCCESS, 4, nullptr},
        {"", "DONE", 1, SUCCESS, 0, nullptr},  // "DONE" does not change the outcome
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.token) + " x" + std::to_string(c.refusals) + " " + c.options);
        JobRig rig("demo-active", 1, [&](sim::PhoneConfig& config) {
            for (uint32_t i = 0; i < c.refusals; ++i) config.faults.replies.push_back({c.token, i, sim::ReplyFaultKind::Refuse});
        });
        const Image image = {{0x10000, Pattern(0x2000, 10)}};
        ASSERT_TRUE(rig.Options(std::string("/com=1 /maxspeed=921600 /mode=flash /diff=0 ") + c.options +
                                " /file=" + rig.WriteImage(image)));
        EXPECT_EQ(rig.Run(), c.result) << rig.Transcript();
        int retries = 0;
        for (const auto& line : rig.rig->host.lines) retries += line.text.rfind("Retry ", 0) == 0;
        EXPECT_EQ(retries, c.retryLines);
        if (c.giveUp != nullptr) {
            EXPECT_TRUE(rig.HasLine(c.giveUp));
        }
        if (c.result == SUCCESS) {
            EXPECT_TRUE(rig.PhoneHolds(image));
        }
    }
}

TEST(FlashJob, AFailedResynchronisationEndsTheRetries) {
    // The phone refuses "OPEN" and then goes silent: the retry's "SYNC" is never answered.
    JobRig rig("demo-active", 1, [](sim::PhoneConfig& c) { c.faults.replies.push_back({"OPEN", 0, sim::ReplyFaultKind::Refuse}); });
    const Image image = {{0x10000, Pattern(0x100, 11)}};
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=115200 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    rig.phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "syn!" && r.occurrence > 0) bytes.clear();
    });
    EXPECT_EQ(rig.Run(), ERR_PROTOCOL) << rig.Transcript();
    EXPECT_TRUE(rig.HasLine("Retry 1: OpenSector"));
    EXPECT_TRUE(rig.HasLine("Failed to sync"));
    EXPECT_EQ(rig.Flash(0x10000, 0x100), std::vector<uint8_t>(0x100, 0xFF));
}

TEST(FlashJob, ImageOutsideTheChipsSendsNothing) {
    JobRig rig("demo-active");
    const Image image = {{0xFFF00, Pattern(0x200, 12)}};  // runs 0x100 bytes past the 1 MiB chip
    ASSERT_TRUE(rig.Options("/com=1 /maxspeed=921600 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    EXPECT_NE(rig.Run(), SUCCESS);
    EXPECT_TRUE(JobCommands(rig).empty());
}

}  // namespace
}  // namespace flashwire::job_test
