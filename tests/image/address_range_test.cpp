// The rules of address range lists.
#include <gtest/gtest.h>

#include <vector>

#include "image/address_range.h"

// Found by argument-dependent lookup: AddressRange is a C record in the global namespace.
static bool operator==(const AddressRange& a, const AddressRange& b) {
    return a.first == b.first && a.last == b.last;
}

namespace flashwire {
namespace {

TEST(AddressRanges, Overlap) {
    const AddressRange a{0x100, 0x1FF};
    EXPECT_TRUE(RangesOverlap(a, {0x1FF, 0x300}));
    EXPECT_TRUE(RangesOverlap(a, {0x0, 0x100}));
    EXPECT_TRUE(RangesOverlap(a, {0x120, 0x130}));  // inside
    EXPECT_TRUE(RangesOverlap(a, {0x0, 0xFFFFFFFF}));  // around
    EXPECT_TRUE(RangesOverlap(a, a));
    EXPECT_FALSE(RangesOverlap(a, {0x200, 0x2FF}));  // touching
    EXPECT_FALSE(RangesOverlap(a, {0x0, 0xFF}));
    EXPECT_TRUE(RangesOverlap({0xFFFFFFF0, 0xFFFFFFFF}, {0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(RangeLength({0, 0xFFFFFFFE}), 0xFFFFFFFFu);
}

TEST(AddressRanges, SortIsAscendingAndKeepsEqualFirstsInOrder) {
    std::vector<AddressRange> r = {{30, 31}, {10, 19}, {20, 20}, {10, 12}, {0, 5}};
    SortRanges(r.data(), static_cast<uint32_t>(r.size()));
    EXPECT_EQ(r, (std::vector<AddressRange>{{0, 5}, {10, 19}, {10, 12}, {20, 20}, {30, 31}}));
    SortRanges(nullptr, 3);
    SortRanges(r.data(), 0);
}

TEST(AddressRanges, OverlapCheckOfAList) {
    std::vector<AddressRange> r = {{0, 0xFF}, {0x100, 0x1FF}, {0x300, 0x3FF}};
    EXPECT_EQ(CheckRangesOverlap(r.data(), 3), 0u);
    r.push_back({0x150, 0x2FF});
    EXPECT_EQ(CheckRangesOverlap(r.data(), 4), static_cast<uint32_t>(ERR_RANGES_OVERLAP));
    EXPECT_EQ(CheckRangesOverlap(r.data(), 3), 0u);  // only the used entries count
    // A range lying inside an earlier one is found whichever comes first.
    std::vector<AddressRange> inner = {{0x10, 0x20}, {0, 0x100}};
    EXPECT_EQ(CheckRangesOverlap(inner.data(), 2), static_cast<uint32_t>(ERR_RANGES_OVERLAP));
}

TEST(AddressRanges, MergeAdjacent) {
    std::vector<AddressRange> r = {{0, 0xFF}, {0x100, 0x1FF}, {0x200, 0x2FF}, {0x400, 0x4FF}, {0x500, 0x5FF}};
    EXPECT_EQ(MergeAdjacentRanges(r.data(), 5), 2u);
    EXPECT_TRUE(r[0] == (AddressRange{0, 0x2FF}));
    EXPECT_TRUE(r[1] == (AddressRange{0x400, 0x5FF}));

    // Overlapping neighbours are not merged; gaps stay.
    std::vector<AddressRange> o = {{0, 0x100}, {0x100, 0x1FF}, {0x300, 0x3FF}};
    EXPECT_EQ(MergeAdjacentRanges(o.data(), 3), 3u);

    // Nothing follows 0xFFFFFFFF: the end of the address space is not adjacent to 0.
    std::vector<AddressRange> w = {{0xFFFFFF00, 0xFFFFFFFF}, {0, 0xF}};
    EXPECT_EQ(MergeAdjacentRanges(w.data(), 2), 2u);

    std::vector<AddressRange> one = {{1, 2}};
    EXPECT_EQ(MergeAdjacentRanges(one.data(), 1), 1u);
}

}  // namespace
}  // namespace flashwire
