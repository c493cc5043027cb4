#include "image/region_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "job/context.h"

namespace flashwire {
namespace {

std::vector<std::pair<uint32_t, uint32_t>> Ranges(const RegionList& list) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (uint32_t i = 0; i < list.rangeCount; ++i)
        out.emplace_back(list.ranges[i].first, list.ranges[i].last);
    return out;
}

using R = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(RegionList, InsertSortsAndMergesFromTheFront) {
    auto list = std::make_unique<RegionList>();
    EXPECT_EQ(InsertLoadedRange(*list, 0x200, 0x2FF), 0u);
    EXPECT_EQ(InsertLoadedRange(*list, 0x100, 0x1FF), 0u);
    EXPECT_EQ(Ranges(*list), (R{{0x100, 0x2FF}}));

    list = std::make_unique<RegionList>();
    EXPECT_EQ(InsertLoadedRange(*list, 0x200, 0x2FF), 0u);
    EXPECT_EQ(InsertLoadedRange(*list, 0x000, 0x0FF), 0u);
    EXPECT_EQ(Ranges(*list), (R{{0x000, 0x0FF}, {0x200, 0x2FF}}));
    EXPECT_EQ(InsertLoadedRange(*list, 0x100, 0x1FF), 0u);
    EXPECT_EQ(Ranges(*list), (R{{0x000, 0x2FF}}));

    // Ranges with a gap stay apart, in order.
    EXPECT_EQ(InsertLoadedRange(*list, 0x1000, 0x10FF), 0u);
    EXPECT_EQ(InsertLoadedRange(*list, 0x400, 0x4FF), 0u);
    EXPECT_EQ(Ranges(*list), (R{{0x000, 0x2FF}, {0x400, 0x4FF}, {0x1000, 0x10FF}}));
}

TEST(RegionList, OverlapReturnsIndexOfSecondRange) {
    auto list = std::make_unique<RegionList>();
    InsertLoadedRange(*list, 0x200, 0x2FF);
    EXPECT_EQ(InsertLoadedRange(*list, 0x200, 0x27F),
              1u);  // equal first addresses: the new one goes in front
    EXPECT_EQ(Ranges(*list), (R{{0x200, 0x27F}, {0x200, 0x2FF}}));

    list = std::make_unique<RegionList>();
    InsertLoadedRange(*list, 0x100, 0x1FF);
    EXPECT_EQ(InsertLoadedRange(*list, 0x180, 0x2FF), 1u);

    list = std::make_unique<RegionList>();
    InsertLoadedRange(*list, 0x000, 0x0FF);
    InsertLoadedRange(*list, 0x300, 0x3FF);
    InsertLoadedRange(*list, 0x500, 0x5FF);
    EXPECT_EQ(InsertLoadedRange(*list, 0x3F0, 0x40F), 2u);
}

TEST(RegionList, FullTableIsNotOverrun) {
    auto list = std::make_unique<RegionList>();
    for (uint32_t i = 0; i < kMaxLoadedRanges; ++i) ASSERT_EQ(InsertLoadedRange(*list, i * 4, i * 4 + 1), 0u);
    EXPECT_EQ(list->rangeCount, kMaxLoadedRanges);
    EXPECT_EQ(InsertLoadedRange(*list, 0x100000, 0x100001), kRangeTableFull);
    EXPECT_EQ(list->rangeCount, kMaxLoadedRanges);
}

TEST(RegionList, FindBufferAtBorders) {
    RegionList list;
    list.bufferCount = 2;
    list.buffers[0].first = 0x1000;
    list.buffers[0].last = 0x1FFF;
    list.buffers[1].first = 0x3000;
    list.buffers[1].last = 0x3FFF;
    list.buffers[2].first = 0x2000;  // not in use
    list.buffers[2].last = 0x2FFF;
    EXPECT_EQ(FindBuffer(list, 0x1000), 0u);
    EXPECT_EQ(FindBuffer(list, 0x1FFF), 0u);
    EXPECT_EQ(FindBuffer(list, 0x2000), kNoBuffer);
    EXPECT_EQ(FindBuffer(list, 0x0FFF), kNoBuffer);
    EXPECT_EQ(FindBuffer(list, 0x3FFF), 1u);
    EXPECT_EQ(FindBuffer(list, 0x4000), kNoBuffer);
    list.buffers[1].first = 0x2000;  // touching: the address one above the last is in the next buffer
    EXPECT_EQ(FindBuffer(list, 0x2000), 1u);
    EXPECT_EQ(RegionLength(list.buffers[0]), 0x1000u);
}

TEST(RegionList, AllocatePlacesLoaderBuffersAndFreeIsSafeTwice) {
    auto ctx = std::make_unique<FlashContext>();
    ResetRegionLists(ctx->regionLists);
    ctx->platform.setupLoaderBase = 0x80000;
    ctx->platform.flashLoaderBase = 0xA0000;
    ctx->imageList().bufferCount = 2;
    ctx->imageList().buffers[0] = {0, 0xFFFF, nullptr};
    ctx->imageList().buffers[1].first = 0x100000;
    ctx->imageList().buffers[1].last = 0x10FFFF;
    ASSERT_TRUE(AllocateRegionBuffers(ctx->regionLists, ctx->platform.setupLoaderBase, ctx->platform.flashLoaderBase));
    EXPECT_EQ(ctx->setupLoaderList().bufferCount, 1u);
    EXPECT_EQ(ctx->setupLoaderList().buffers[0].first, 0x80000u);
    EXPECT_EQ(ctx->setupLoaderList().buffers[0].last, 0x9FFFFu);
    EXPECT_EQ(ctx->flashLoaderList().buffers[0].last, 0xBFFFFu);
    for (RegionList& list : ctx->regionLists) {
        for (uint32_t i = 0; i < list.bufferCount; ++i) {
            ASSERT_NE(list.buffers[i].data, nullptr);
            list.buffers[i].data[RegionLength(list.buffers[i]) - 1] = 0x5A;  // the whole length is there
        }
    }
    FreeRegionBuffers(ctx->regionLists);
    FreeRegionBuffers(ctx->regionLists);
    for (RegionList& list : ctx->regionLists) {
        for (const MemoryRegion& b : list.buffers) EXPECT_EQ(b.data, nullptr);
    }
    EXPECT_EQ(ctx->imageList().bufferCount, 2u);  // bounds stay
    EXPECT_EQ(ctx->imageList().buffers[1].first, 0x100000u);

    ResetRegionLists(ctx->regionLists);
    for (RegionList& list : ctx->regionLists) EXPECT_EQ(list.bufferCount, 0u);
}

TEST(RegionList, FailedAllocationReleasesEverything) {
    auto ctx = std::make_unique<FlashContext>();
    ResetRegionLists(ctx->regionLists);
    ctx->imageList().bufferCount = 2;
    ctx->imageList().buffers[0].first = 0;
    ctx->imageList().buffers[0].last = 0xFFFF;
    ctx->imageList().buffers[1].first = 0x10000;
    ctx->imageList().buffers[1].last = 0xFFFF;  // runs backwards: cannot be held
    EXPECT_FALSE(AllocateRegionBuffers(ctx->regionLists, ctx->platform.setupLoaderBase, ctx->platform.flashLoaderBase));
    for (RegionList& list : ctx->regionLists) {
        for (const MemoryRegion& b : list.buffers) EXPECT_EQ(b.data, nullptr);
    }
}

}  // namespace
}  // namespace flashwire
