#include "catalog/flash_type.h"

#include <gtest/gtest.h>

#include <memory>

#include "image/test_host.h"

namespace flashwire {
namespace {

using testing::TestHost;

class FlashTypes : public ::testing::Test {
protected:
    // One chip 0x0089_0x00008817 with the given ChipInfo and layout "L".
    std::unique_ptr<FlashType> Chip(const std::string& chipInfo, const std::string& layout,
                                    const std::string& description = "Test chip") {
        std::string text = "[Description]\n";
        if (!description.empty()) text += "0x0089_0x00008817 = " + description + "\n";
        text += "[ChipInfo]\n0x0089_0x00008817 = " + chipInfo + "\n[Layouts]\nL = " + layout + "\n";
        host.WriteFile("flash.types", text);
        return std::make_unique<FlashType>(0x89, 0x8817, host.ctx->exeDirectory);
    }
    std::vector<uint32_t> Offsets(const FlashType& t) {
        return std::vector<uint32_t>(t.GetSectorOffsets(), t.GetSectorOffsets() + t.GetBoundaryCount());
    }

    TestHost host;
};

TEST_F(FlashTypes, KnownChipAndAccessors) {
    auto t = Chip("intel,L,pagebuffer", "64*4");
    ASSERT_EQ(t->IsKnown(), 1u);
    EXPECT_STREQ(t->GetDescription(), "Test chip");
    EXPECT_EQ(t->GetCommandSet(), 1u);
    EXPECT_EQ(t->GetProgrammingMode(), 2u);
    EXPECT_EQ(t->GetManufacturerId(), 0x89);
    EXPECT_EQ(t->GetDeviceId(), 0x8817u);
    EXPECT_EQ(t->GetBoundaryCount(), 5);
    EXPECT_EQ(Offsets(*t), (std::vector<uint32_t>{0, 0x10000, 0x20000, 0x30000, 0x40000}));
}

TEST_F(FlashTypes, KeyIsLowerCaseHexOfBothIds) {
    host.WriteFile("flash.types",
                   "[Description]\n0x00ab_0x00cd00ef=Chip\n[ChipInfo]\n0x00ab_0x00cd00ef=amd,L,standard\n"
                   "[Layouts]\nL=8\n");
    EXPECT_EQ(FlashType(0xAB, 0xCD00EF, host.ctx->exeDirectory).IsKnown(), 1u);
    EXPECT_EQ(FlashType(0xAB, 0xCD00EE, host.ctx->exeDirectory).IsKnown(), 0u);
}

TEST_F(FlashTypes, MixedLayoutAndAnyCaseWords) {
    auto t = Chip("AMD,L,UNLOCKBYPASS", "8*8,64*127");
    ASSERT_EQ(t->IsKnown(), 1u);
    EXPECT_EQ(t->GetCommandSet(), 0u);
    EXPECT_EQ(t->GetProgrammingMode(), 1u);
    ASSERT_EQ(t->GetBoundaryCount(), 136);
    EXPECT_EQ(t->GetSectorOffsets()[8], 0x10000u);
    EXPECT_EQ(t->GetSectorOffsets()[135], 0x800000u);
    EXPECT_EQ(Chip("Intel,L,Standard", "8,16")->GetProgrammingMode(), 0u);
    EXPECT_EQ(Chip("Intel,L,Standard", "8,16")->GetBoundaryCount(), 3);
}

TEST_F(FlashTypes, BadLayoutsMakeTheChipInvalid) {
    for (const char* layout :
         {"8 * 8", "64*", "64*,8", "8*8,", ",8", "*4", "8,,8", "64*0", "0*4", "8x", "8*2*2", "4194304*2"}) {
        SCOPED_TRACE(layout);
        EXPECT_EQ(Chip("amd,L,standard", layout)->IsKnown(), 0u);
    }
}

TEST_F(FlashTypes, AtMost1023Sectors) {
    auto ok = Chip("amd,L,standard", "4*1000,8*23");
    EXPECT_EQ(ok->IsKnown(), 1u);
    EXPECT_EQ(ok->GetBoundaryCount(), 1024);
    auto tooMany = Chip("amd,L,standard", "4*1000,8*24");
    EXPECT_EQ(tooMany->IsKnown(), 0u);
    EXPECT_EQ(tooMany->GetBoundaryCount(), 1024);  // filled up to the end, never past it
}

TEST_F(FlashTypes, ChipInfoFields) {
    EXPECT_EQ(Chip("amd,L", "8")->IsKnown(), 0u);
    EXPECT_EQ(Chip("amd,L,standard,extra", "8")->IsKnown(), 0u);
    EXPECT_EQ(Chip("arm,L,standard", "8")->IsKnown(), 0u);
    EXPECT_EQ(Chip("amd,L,fast", "8")->IsKnown(), 0u);
    EXPECT_EQ(Chip("amd,Missing,standard", "8")->IsKnown(), 0u);
    EXPECT_EQ(Chip("amd", "8")->IsKnown(), 0u);
    // Layout names of at most 51 characters.
    const std::string name51(51, 'n');
    host.WriteFile("flash.types", "[Description]\n0x0001_0x00000002=C\n[ChipInfo]\n0x0001_0x00000002=amd," +
                                      name51 + ",standard\n[Layouts]\n" + name51 + "=8\n");
    EXPECT_EQ(FlashType(1, 2, host.ctx->exeDirectory).IsKnown(), 1u);
    host.WriteFile("flash.types", "[Description]\n0x0001_0x00000002=C\n[ChipInfo]\n0x0001_0x00000002=amd," +
                                      name51 + "x,standard\n[Layouts]\n" + name51 + "x=8\n");
    EXPECT_EQ(FlashType(1, 2, host.ctx->exeDirectory).IsKnown(), 0u);
}

TEST_F(FlashTypes, DescriptionRequiredAndBounded) {
    auto none = Chip("amd,L,standard", "8", "");
    EXPECT_EQ(none->IsKnown(), 0u);
    EXPECT_EQ(none->GetDescription(), nullptr);
    EXPECT_EQ(Chip("amd,L,standard", "8", std::string(249, 'd'))->IsKnown(), 1u);
    EXPECT_EQ(Chip("amd,L,standard", "8", std::string(250, 'd'))->IsKnown(), 0u);
}

TEST_F(FlashTypes, MissingFileOrLongDirectory) {
    EXPECT_EQ(FlashType(0x89, 0x8817, host.ctx->exeDirectory).IsKnown(), 0u);
    Chip("amd,L,standard", "8");
    EXPECT_EQ(FlashType(0x89, 0x8817, std::string(240, 'd') + "/").IsKnown(), 0u);
}

}  // namespace
}  // namespace flashwire
