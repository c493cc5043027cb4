// Range subtraction, the inside-flash check, sector lookup and open flags.
#include <gtest/gtest.h>

#include <vector>

#include "flashops/sector_map.h"
#include "image/test_host.h"

// AddressRange is the public C record; equality for the comparisons below.
static bool operator==(const AddressRange& a, const AddressRange& b) { return a.first == b.first && a.last == b.last; }

namespace flashwire {
namespace {

using Ranges = std::vector<AddressRange>;


Ranges Subtract(Ranges list, const Ranges& remove) {
    auto count = static_cast<uint32_t>(list.size());
    list.resize(list.size() + remove.size());
    EXPECT_TRUE(SubtractRanges(list.data(), count, static_cast<uint32_t>(list.size()), remove.data(),
                               static_cast<uint32_t>(remove.size())));
    list.resize(count);
    return list;
}

TEST(SubtractRanges, CutsSplitsAndRemoves) {
    const struct {
        Ranges list, remove, expected;
    } cases[] = {
        {{{0x0, 0xFFFFF}}, {{0x10000, 0x1FFFF}}, {{0x0, 0xFFFF}, {0x20000, 0xFFFFF}}},
        {{{0x0, 0xFFFFF}}, {{0xF0000, 0xFFFFF}}, {{0x0, 0xEFFFF}}},
        {{{0x0, 0xFFFFF}}, {{0x0, 0xFFFF}}, {{0x10000, 0xFFFFF}}},
        {{{0x0, 0xFFFFF}}, {{0x0, 0xFFFFF}}, {}},
        {{{0x100, 0x1FF}}, {{0x0, 0x17F}}, {{0x180, 0x1FF}}},                     // head
        {{{0x100, 0x1FF}}, {{0x180, 0x2FF}}, {{0x100, 0x17F}}},                   // tail
        {{{0x0, 0xFFFFFFFF}}, {{0x10, 0x1F}, {0x30, 0x3F}},                      // two splits of the whole space
         {{0x0, 0xF}, {0x20, 0x2F}, {0x40, 0xFFFFFFFF}}},
        {{{0x500, 0x5FF}, {0x0, 0xFF}}, {{0x80, 0x50F}}, {{0x0, 0x7F}, {0x510, 0x5FF}}},  // result sorted
    };
    for (const auto& c : cases) EXPECT_EQ(Subtract(c.list, c.remove), c.expected);
}

TEST(SubtractRanges, RefusesASplitBeyondCapacity) {
    Ranges list = {{0x0, 0xFF}};
    uint32_t count = 1;
    const AddressRange remove{0x10, 0x1F};
    EXPECT_FALSE(SubtractRanges(list.data(), count, 1, &remove, 1));
    EXPECT_EQ(count, 1u);
}

struct ChipHost : testing::TestHost {
    // Two chips: [0, 0xFFFFF] with 8 KiB then 64 KiB sectors, [0x100000, 0x1FFFFF] with 64 KiB sectors.
    ChipHost() {
        ctx->chipCount = 2;
        FlashChip& a = ctx->chips[0];
        a.first = 0;
        uint32_t s = 0;
        for (uint32_t off = 0; off < 0x10000; off += 0x2000) a.sectorOffsets[s++] = off;
        for (uint32_t off = 0x10000; off <= 0x100000; off += 0x10000) a.sectorOffsets[s++] = off;
        a.sectorCount = s - 1;
        a.last = 0xFFFFF;
        FlashChip& b = ctx->chips[1];
        b.first = 0x100000;
        for (uint32_t i = 0; i <= 16; ++i) b.sectorOffsets[i] = i * 0x10000;
        b.sectorCount = 16;
        b.last = 0x1FFFFF;
    }
};

TEST(CheckInsideFlash, ReportsWhatLiesOutside) {
    ChipHost host;
    const Ranges inside = {{0x0, 0x1FFFFF}};
    EXPECT_TRUE(CheckInsideFlash(*host.ctx, inside.data(), 1));
    EXPECT_TRUE(host.lines.empty());
    const Ranges outside = {{0x1F0000, 0x20FFFF}};
    EXPECT_FALSE(CheckInsideFlash(*host.ctx, outside.data(), 1));
    EXPECT_TRUE(host.Has(2, "Data outside flash memory:"));
    EXPECT_TRUE(host.Has(2, "0x00200000 - 0x0020ffff"));
    host.ctx->chipCount = 0;  // no chips: every non-empty list lies outside
    EXPECT_FALSE(CheckInsideFlash(*host.ctx, inside.data(), 1));
}

TEST(FindChipSector, MapsAddressesToChipAndSector) {
    ChipHost host;
    const struct {
        uint32_t address;
        bool found;
        uint32_t chip, sector, first, length;
    } cases[] = {
        {0x0, true, 0, 0, 0x0, 0x2000},
        {0x3FFF, true, 0, 1, 0x2000, 0x2000},
        {0x10000, true, 0, 8, 0x10000, 0x10000},
        {0xFFFFF, true, 0, 22, 0xF0000, 0x10000},
        {0x100000, true, 1, 0, 0x100000, 0x10000},
        {0x1FFFFF, true, 1, 15, 0x1F0000, 0x10000},
        {0x200000, false, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SectorLocation at;
        ASSERT_EQ(FindChipSector(host.ctx->chips, host.ctx->chipCount, c.address, at), c.found) << c.address;
        if (!c.found) continue;
        EXPECT_EQ(at.chip, c.chip) << c.address;
        EXPECT_EQ(at.sector, c.sector) << c.address;
        EXPECT_EQ(at.first, c.first) << c.address;
        EXPECT_EQ(at.length, c.length) << c.address;
    }
}

TEST(SectorOpenFlags, PartialSectorsAndExtraProtection) {
    // A 4 KiB range starting 0x800 below the border between two 64 KiB sectors.
    const uint32_t rf = 0x10000 - 0x800;
    const uint32_t rl = rf + 0xFFF;
    EXPECT_EQ(SectorOpenFlags(false, 0x0, 0x10000, rf, rl), 0x13);
    EXPECT_EQ(SectorOpenFlags(false, 0x10000, 0x10000, rf, rl), 0x13);
    EXPECT_EQ(SectorOpenFlags(true, 0x10000, 0x10000, rf, rl), 0x0A);
    EXPECT_EQ(SectorOpenFlags(false, 0x10000, 0x10000, 0x10000, 0x1FFFF), 0x11);
    EXPECT_EQ(SectorOpenFlags(true, 0x10000, 0x10000, 0x0, 0xFFFFFFFF), 0x08);
}

}  // namespace
}  // namespace flashwire
