// NOR flash semantics of the model.
#include "sim_rig.h"

#include "sim/nor_flash.h"

namespace flashwire::sim_test {
namespace {

sim::NorFlash TwoChips() {
    sim::ChipConfig a;
    a.name = "a";
    a.firstAddress = 0x1000000;
    a.sectorSizes = {0x2000, 0x2000, 0x10000};
    sim::ChipConfig b = a;
    b.name = "b";
    b.firstAddress = 0x1014000;  // touches a
    return sim::NorFlash({a, b});
}

TEST(SimNorFlash, ErasedReadsFFAndProgrammingOnlyClearsBits) {
    sim::NorFlash f = TwoChips();
    EXPECT_EQ(f.ReadByte(0x1000000), 0xFF);
    EXPECT_EQ(f.Program(0x1000000, Bytes{0xF0, 0xFF}), 1u);
    EXPECT_EQ(f.ReadByte(0x1000000), 0xF0);
    f.Program(0x1000000, Bytes{0x0F});
    EXPECT_EQ(f.ReadByte(0x1000000), 0x00);  // 0xF0 AND 0x0F
    f.Program(0x1000000, Bytes{0xFF});
    EXPECT_EQ(f.ReadByte(0x1000000), 0x00);  // a 1 cannot come back without an erase
    f.EraseSector(*f.FindSector(0x1000001));
    EXPECT_EQ(f.ReadByte(0x1000000), 0xFF);
    EXPECT_EQ(f.eraseCount(0, 0), 1u);
}

TEST(SimNorFlash, EraseWorksOnOneSectorOnly) {
    sim::NorFlash f = TwoChips();
    f.Program(0x1001FFF, Bytes{0x00, 0x00});  // last byte of sector 0, first of sector 1
    f.EraseSector(*f.Sector(0, 1));
    EXPECT_EQ(f.ReadByte(0x1001FFF), 0x00);
    EXPECT_EQ(f.ReadByte(0x1002000), 0xFF);
}

TEST(SimNorFlash, SectorsAndRanges) {
    sim::NorFlash f = TwoChips();
    const auto s = f.FindSector(0x1013FFF);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->chip, 0u);
    EXPECT_EQ(s->sector, 2u);
    EXPECT_EQ(s->first, 0x1004000u);
    EXPECT_EQ(s->size, 0x10000u);
    const auto t = f.FindSector(0x1014000);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->chip, 1u);
    EXPECT_FALSE(f.FindSector(0x1028000));
    EXPECT_FALSE(f.FindSector(0xFFFFFF));
    EXPECT_TRUE(f.Contains(0x1000000, 0x28000));  // over both chips
    EXPECT_FALSE(f.Contains(0x1000000, 0x28001));
    EXPECT_FALSE(f.Contains(0xFFFFFFFF, 2));
    EXPECT_FALSE(f.Sector(0, 3));
    // Reading across the chip border and past the flash.
    f.Program(0x1013FFF, Bytes{1, 2});
    EXPECT_EQ(f.Read(0x1013FFF, 2), (Bytes{1, 2}));
    EXPECT_EQ(f.Read(0x1027FFF, 2), (Bytes{0xFF, 0xFF}));
}

TEST(SimNorFlash, OverlappingChipsAreRefused) {
    sim::ChipConfig a;
    a.name = "a";
    a.sectorSizes = {0x10000};
    sim::ChipConfig b = a;
    b.name = "b";
    b.firstAddress = 0x8000;
    std::string error;
    sim::NorFlash f({a, b}, &error);
    EXPECT_EQ(f.chipCount(), 0u);
    EXPECT_NE(error.find("overlap"), std::string::npos);
    sim::ChipConfig top = a;
    top.firstAddress = 0xFFFF8000;
    sim::NorFlash g({top}, &error);
    EXPECT_NE(error.find("address space"), std::string::npos);
}

TEST(SimNorFlash, StuckBitsStayZero) {
    sim::NorFlash f = TwoChips();
    f.SetStuckBits(0x1000010, 0x80);
    EXPECT_EQ(f.ReadByte(0x1000010), 0x7F);
    f.EraseSector(*f.Sector(0, 0));
    EXPECT_EQ(f.Read(0x1000010, 1)[0], 0x7F);
}

}  // namespace
}  // namespace flashwire::sim_test
