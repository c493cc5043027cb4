#include "catalog/platform_definition.h"

#include <gtest/gtest.h>

#include "image/test_host.h"

namespace flashwire {
namespace {

using testing::TestHost;

class PlatformDefinition : public ::testing::Test {
protected:
    PlatformDefinition() { host.SetDebug(true); }

    // Writes platform.def with one section [P] holding body and reads it.
    bool Read(const std::string& body, const char* name = "P") {
        host.WriteFile("platform.def", "[Other]\nFlashLoader=other.srec\n[P]\n" + body);
        host.SetPlatform(name);
        FlashContext& c = *host.ctx;
        return ReadPlatformDefinition(c, PlatformSource{c.platformDefPath, c.plan.platform, c.exeDirectory}, c.platform,
                                      c.imageList());
    }
    PlatformInfo& P() { return host.ctx->platform; }
    RegionList& Image() { return host.ctx->imageList(); }

    TestHost host;
};

TEST_F(PlatformDefinition, UnknownSectionOrMissingFlashLoader) {
    EXPECT_FALSE(Read("MIT=0\n", "Nope"));
    EXPECT_TRUE(host.Has(0, "Platform: unknown or corrupted platform: \"Nope\""));
    host.lines.clear();
    EXPECT_FALSE(Read("MIT=0\nBootLoader=active\n"));
    EXPECT_TRUE(host.Has(0, "Platform: unknown or corrupted platform: \"P\""));
}

// Without /debug a failure is one level-1 line with the cause, the section
// and the file (the debug line says the same when /debug is on).
TEST_F(PlatformDefinition, FailuresNameCauseSectionAndFile) {
    host.SetDebug(false);
    EXPECT_FALSE(Read("MIT=0\nBootLoader=sideways\nFlashLoader=fl.srec\n"));
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0].level, 1);
    EXPECT_EQ(host.lines[0].text, "Error: Platform: invalid boot loader type: sideways (section [P] of " + host.Dir() +
                                      "/platform.def)");
}

TEST_F(PlatformDefinition, Mit0PassiveWithMaxImageSizeAndFullSummary) {
    ASSERT_TRUE(
        Read("FlashLoader = fl.srec\nBootLoader=Passive\nSetupLoader=sl.srec\n"
             "SetupLoaderBaseAddr=0x00080000\nMaxImageSize=0x10\nFlashLoaderBaseAddr=0x90000\n"
             "StackBaseAddr=0x1234\n"));
    EXPECT_FALSE(P().activeBootLoader);
    EXPECT_FALSE(P().setupLoaderNeeded);
    EXPECT_FALSE(P().chipDescription);
    EXPECT_EQ(P().flashDefinitionCount, 0u);
    EXPECT_EQ(std::string(P().setupLoaderPath), host.Dir() + "/sl.srec");
    EXPECT_EQ(std::string(P().flashLoaderPath), host.Dir() + "/fl.srec");
    EXPECT_EQ(P().setupLoaderBase, 0x80000u);
    EXPECT_EQ(P().flashLoaderBase, 0x90000u);
    EXPECT_EQ(P().stackBase, 0x1234u);
    ASSERT_EQ(Image().bufferCount, 1u);
    EXPECT_EQ(Image().buffers[0].first, 0u);
    EXPECT_EQ(Image().buffers[0].last, 0xFFFFFFu);
    const std::vector<std::string> expected = {
        "Boot loader protocol type: passive",
        "Memory interface type: 0",
        "Setup loader: " + host.Dir() + "/sl.srec",
        "Setup loader base addr: 0x00080000",
        "Flash loader: " + host.Dir() + "/fl.srec",
        "Flash loader base addr: 0x00090000",
        "Stack base addr: 0x00001234",
        "Stack buffers: 1",
        "0: 0x00000000 - 0x00ffffff [16 MB (16777216 Bytes)]",
    };
    EXPECT_EQ(host.Texts(), expected);
}

TEST_F(PlatformDefinition, BootLoaderKind) {
    EXPECT_TRUE(Read("FlashLoader=fl\nBootLoader=Active\n"));
    EXPECT_TRUE(P().activeBootLoader);
    EXPECT_TRUE(host.Has("Setup loader: -"));
    EXPECT_FALSE(Read("FlashLoader=fl\n"));
    EXPECT_TRUE(host.Has("Platform: invalid boot loader type: "));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=lazy\n"));
    EXPECT_TRUE(host.Has("Platform: invalid boot loader type: lazy"));
}

TEST_F(PlatformDefinition, MitAndMaxImageSizeLimits) {
    EXPECT_FALSE(Read("FlashLoader=fl\nMIT=2\n"));
    EXPECT_TRUE(host.Has("Platform: invalid MIT: 2"));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nMaxImageSize=3\n"));
    EXPECT_TRUE(host.Has("Platform: invalid max. image size: 3"));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nMaxImageSize=65\n"));
    EXPECT_TRUE(host.Has("Platform: invalid max. image size: 65"));
    EXPECT_TRUE(Read("FlashLoader=fl\nBootLoader=active\nMaxImageSize=64\n"));
    EXPECT_EQ(Image().buffers[0].last, 0x3FFFFFFu);
    // Text that holds no number reads as 0 (MIT 0 here).
    EXPECT_TRUE(Read("FlashLoader=fl\nMIT=none\nBootLoader=active\n"));
    EXPECT_EQ(P().memoryInterfaceType, 0u);
}

TEST_F(PlatformDefinition, StreamGapDefaultRangeAndRefusal) {
    const struct {
        const char* line;  // "" leaves the key out
        bool accepted;
        uint32_t gap;
    } cases[] = {
        {"", true, 10}, {"StreamGap=0\n", true, 0}, {"StreamGap= 4 \n", true, 4},
        {"StreamGap=1000\n", true, 1000}, {"StreamGap=1001\n", false, 0}, {"StreamGap=-1\n", false, 0},
        {"StreamGap=5ms\n", false, 0}, {"StreamGap=\n", false, 0}, {"StreamGap=99999999999\n", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        host.SetDebug(false);  // the refusal is shown without the debug option
        host.lines.clear();
        P().streamGapMs = 77;
        EXPECT_EQ(Read(std::string("FlashLoader=fl\nBootLoader=active\n") + c.line), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(P().streamGapMs, c.gap);
            EXPECT_TRUE(host.lines.empty());
        } else {
            ASSERT_EQ(host.lines.size(), 1u);
            EXPECT_EQ(host.lines[0].level, 2);
            EXPECT_EQ(host.lines[0].text.rfind("Platform \"P\": StreamGap=", 0), 0u) << host.lines[0].text;
            EXPECT_NE(host.lines[0].text.find("0 to 1000"), std::string::npos);
        }
    }
}

TEST_F(PlatformDefinition, Mit0FlashDefinitions) {
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0x100000,16\n"));
    EXPECT_TRUE(host.Has("Platform: invalid flash definition [0]"));
    ASSERT_TRUE(
        Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0x1000000,16,0\n"
             "Flash1=0x4000000,1,7\nFlash3=0x8000000,1,0\n"));
    EXPECT_TRUE(P().chipDescription);
    ASSERT_EQ(P().flashDefinitionCount, 2u);  // Flash3 is not read without Flash2
    EXPECT_EQ(P().flashDefinitions[1].attribute, 7u);
    EXPECT_EQ(P().flashDefinitions[1].size, 0x100000u);
    ASSERT_EQ(Image().bufferCount, 2u);
    EXPECT_EQ(Image().buffers[0].first, 0x1000000u);
    EXPECT_EQ(Image().buffers[0].last, 0x1FFFFFFu);
    EXPECT_EQ(Image().buffers[1].last, 0x40FFFFFu);
    EXPECT_TRUE(host.Has("1: 0x04000000 - 0x040fffff [1024 KB (1048576 Bytes)]"));

    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0x1000000,16,8\n"));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0x1080000,16,0\n"));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0x1000000,65,0\n"));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\n"));
    EXPECT_TRUE(host.Has("Platform: no flash defined"));
    // The attribute is all of the text after the second comma, hex marker anywhere.
    ASSERT_TRUE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0x1000000,16,0,0x3\n"));
    EXPECT_EQ(P().flashDefinitions[0].attribute, 3u);
}

TEST_F(PlatformDefinition, EmptyOrWrappingBanksAreRefused) {
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0,0,0\n"));
    EXPECT_TRUE(host.Has("Platform: invalid flash definition [0]"));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0xFFF00000,2,0\n"));
    EXPECT_TRUE(Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0xFFF00000,1,0\n"));
    EXPECT_EQ(Image().buffers[0].last, 0xFFFFFFFFu);
}

TEST_F(PlatformDefinition, Mit1Rules) {
    EXPECT_FALSE(Read("FlashLoader=fl\nMIT=1\nSetupLoader=sl\nFlash0=0x4000000,32\n"));
    EXPECT_TRUE(host.Has("Platform: invalid FL base address 0x00009999"));
    EXPECT_FALSE(Read("FlashLoader=fl\nMIT=1\nFlash0=0x4000000,32\nFlashLoaderBaseAddr=0x1000\n"));
    EXPECT_TRUE(host.Has("Platform: missing setup loader"));
    EXPECT_FALSE(
        Read("FlashLoader=fl\nMIT=1\nSetupLoader=sl\nFlash0=0x1000000,32\nFlashLoaderBaseAddr=0x1000\n"));
    EXPECT_TRUE(host.Has("Platform: invalid flash definition [0]"));

    ASSERT_TRUE(
        Read("FlashLoader=fl\nMIT=1\nBootLoader=active\nChipDesc=0\nSetupLoader=sl\n"
             "Flash0=0x4000000,32\nFlash1=0x8000000,32,0x5\nFlashLoaderBaseAddr=0x1000\n"));
    EXPECT_FALSE(P().activeBootLoader);
    EXPECT_TRUE(P().setupLoaderNeeded);
    EXPECT_TRUE(P().chipDescription);
    ASSERT_EQ(P().flashDefinitionCount, 2u);
    EXPECT_EQ(P().flashDefinitions[0].size, 32u * 0x100000u);
    EXPECT_EQ(P().flashDefinitions[1].size, 5u * 0x100000u);  // "32,0x5" reads as 0x5
    EXPECT_TRUE(host.Has("Boot loader protocol type: passive"));
    EXPECT_TRUE(host.Has("Memory interface type: 1"));
}

TEST_F(PlatformDefinition, SetupLoaderIgnoredEvenOnMit1) {
    ASSERT_TRUE(
        Read("FlashLoader=fl\nMIT=1\nSetupLoaderIgnore=1\nSetupLoader=sl\nSetupLoaderBaseAddr=3\n"
             "Flash0=0x4000000,32\nFlashLoaderBaseAddr=0x1000\n"));
    EXPECT_TRUE(P().setupLoaderIgnored);
    EXPECT_FALSE(P().setupLoaderNeeded);
    EXPECT_EQ(P().setupLoaderPath[0], '\0');
    EXPECT_TRUE(host.Has("Setup loader: -"));
}

TEST_F(PlatformDefinition, BaseAddressesMustBeMultiplesOfFour) {
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nSetupLoaderBaseAddr=0x1002\n"));
    EXPECT_TRUE(host.Has("Platform: invalid SL base address 0x00001002"));
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nFlashLoaderBaseAddr=6\n"));
    EXPECT_TRUE(host.Has("Platform: invalid FL base address 0x00000006"));
    // A loader window that would run past the end of the address space.
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nFlashLoaderBaseAddr=0xFFFF0000\n"));
    EXPECT_TRUE(host.Has("Platform: invalid FL base address 0xffff0000"));
}

TEST_F(PlatformDefinition, OnlyFourFlashDefinitionsAreRead) {
    ASSERT_TRUE(
        Read("FlashLoader=fl\nBootLoader=active\nChipDesc=1\nFlash0=0x0,1,0\nFlash1=0x100000,1,0\n"
             "Flash2=0x200000,1,0\nFlash3=0x300000,1,0\nFlash4=0x400000,1,0\nFlash5=junk\n"));
    EXPECT_EQ(P().flashDefinitionCount, 4u);
    EXPECT_EQ(Image().bufferCount, 4u);
    EXPECT_TRUE(
        host.Has("Platform: only the first 4 flash definitions are used, Flash4 and beyond are ignored"));
}

TEST_F(PlatformDefinition, PathsThatDoNotFitAreRefused) {
    const std::string name(256 - host.Dir().size() - 1, 'n');  // directory + name = 256 characters
    EXPECT_FALSE(Read("FlashLoader=" + name + "\nBootLoader=active\n"));
    EXPECT_TRUE(host.Has("Platform: flash loader path too long (at most 255 characters)"));
    EXPECT_TRUE(Read("FlashLoader=" + name.substr(1) + "\nBootLoader=active\n"));
    EXPECT_EQ(std::string(P().flashLoaderPath).size(), 255u);
    EXPECT_FALSE(Read("FlashLoader=fl\nBootLoader=active\nSetupLoader=" + std::string(300, 's') + "\n"));
    EXPECT_TRUE(host.Has("Platform: setup loader path too long (at most 255 characters)"));
}

TEST(ParsePlatformNumber, HexMarkerAnywhereElseDecimal) {
    EXPECT_EQ(ParsePlatformNumber("0x100000,16,0"), 0x100000u);
    EXPECT_EQ(ParsePlatformNumber("16,0"), 16u);
    EXPECT_EQ(ParsePlatformNumber("10x20"), 0x20u);
    EXPECT_EQ(ParsePlatformNumber("  0XfF"), 0xFFu);
    EXPECT_EQ(ParsePlatformNumber("size 0x 40 MiB"), 0x40u);
    EXPECT_EQ(ParsePlatformNumber("   42abc"), 42u);
    EXPECT_EQ(ParsePlatformNumber(""), 0u);
    EXPECT_EQ(ParsePlatformNumber("text"), 0u);
    EXPECT_EQ(ParsePlatformNumber("0x"), 0u);
    EXPECT_EQ(ParsePlatformNumber("99999999999"), 0xFFFFFFFFu);
    EXPECT_EQ(ParsePlatformNumber("0x123456789"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseDecimalNumber("0x10"), 0u);
    EXPECT_EQ(ParseDecimalNumber(" 7"), 7u);
}

}  // namespace
}  // namespace flashwire
