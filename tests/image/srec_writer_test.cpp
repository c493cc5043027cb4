#include "image/srec_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "image/hex_byte.h"
#include "image/region_list.h"
#include "image/test_host.h"

namespace flashwire {
namespace {

using testing::TestHost;

class SRecordWriter : public ::testing::Test {
protected:
    SRecordWriter() {
        SetBuffers({{0x0, 0xFFFF}});
        host.ctx->plan.saveFile = host.PathOf("out.srec");
    }
    // Buffers whose every byte holds the low eight bits of its address.
    void SetBuffers(std::vector<std::pair<uint32_t, uint32_t>> bounds) {
        RegionList& list = host.ctx->imageList();
        list.bufferCount = static_cast<uint32_t>(bounds.size());
        for (std::size_t i = 0; i < bounds.size(); ++i) {
            MemoryRegion& b = list.buffers[i];
            b.first = bounds[i].first;
            b.last = bounds[i].second;
            b.data = std::make_unique<uint8_t[]>(RegionLength(b));
            for (uint32_t k = 0; k < RegionLength(b); ++k) b.data[k] = static_cast<uint8_t>(b.first + k);
        }
    }
    void SetRead(std::vector<std::pair<uint32_t, uint32_t>> ranges) {
        host.ctx->plan.readCount = static_cast<uint32_t>(ranges.size());
        for (std::size_t i = 0; i < ranges.size(); ++i) host.ctx->plan.read[i] = {ranges[i].first, ranges[i].second};
    }
    uint32_t Write() {
        return WriteSRecordFile(*host.ctx, host.ctx->imageList(), host.ctx->plan.ReadRanges(), host.ctx->plan.saveFile.c_str());
    }
    std::string Output() { return TestHost::ReadFile(host.PathOf("out.srec")); }

    TestHost host;
};

TEST_F(SRecordWriter, ThirtyTwoBytesFromAddressZero) {
    SetRead({{0x0, 0x1F}});
    EXPECT_EQ(Write(), SUCCESS);
    EXPECT_EQ(Output(),
              "S00600004844521B\n"
              "S31500000000000102030405060708090A0B0C0D0E0F72\n"
              "S31500000010101112131415161718191A1B1C1D1E1F62\n"
              "S705A002000058\n");
    EXPECT_TRUE(host.Has(0, "Writing S-Record File " + host.PathOf("out.srec")));
    EXPECT_EQ(host.progressBegins, std::vector<std::string>{"Saving S-Record File ..."});
    EXPECT_EQ(host.progressEnds, 1);
    ASSERT_FALSE(host.progressUpdates.empty());
    EXPECT_EQ(host.progressUpdates.back(), 32u);
}

TEST_F(SRecordWriter, SeventeenBytesAndTwoRanges) {
    SetRead({{0x100, 0x110}});
    EXPECT_EQ(Write(), SUCCESS);
    EXPECT_EQ(Output(),
              "S00600004844521B\n"
              "S31500000100000102030405060708090A0B0C0D0E0F71\n"
              "S3060000011010D8\n"
              "S705A002000058\n");

    SetRead({{0x100, 0x107}, {0x200, 0x20F}});
    EXPECT_EQ(Write(), SUCCESS);
    EXPECT_EQ(Output(),
              "S00600004844521B\n"
              "S30D000001000001020304050607D5\n"
              "S31500000200000102030405060708090A0B0C0D0E0F70\n"
              "S705A002000058\n");
}

TEST_F(SRecordWriter, NoRangesGiveHeaderAndTermination) {
    SetRead({});
    EXPECT_EQ(Write(), SUCCESS);
    EXPECT_EQ(Output(), "S00600004844521B\nS705A002000058\n");
}

TEST_F(SRecordWriter, RangeCrossingIntoATouchingBuffer) {
    SetBuffers({{0x1000, 0x1007}, {0x1008, 0x1FFF}});
    SetRead({{0x1004, 0x1013}});
    EXPECT_EQ(Write(), SUCCESS);
    EXPECT_EQ(Output(),
              "S00600004844521B\n"
              "S31500001004"
              "0405060708090A0B0C0D0E0F10111213"
              "1E\n"
              "S705A002000058\n");
}

TEST_F(SRecordWriter, RangesOutsideTheBuffersWriteNothing) {
    SetBuffers({{0x1000, 0x1FFF}, {0x3000, 0x3FFF}});
    SetRead({{0x1000, 0x100F}, {0x0800, 0x1000}});
    EXPECT_EQ(Write(), ERR_WRONG_FILE_SAVE);
    EXPECT_TRUE(host.Has(2, "Error: unable to locate buffer"));
    EXPECT_FALSE(std::filesystem::exists(host.PathOf("out.srec")));

    SetRead({{0x1F00, 0x30FF}});  // runs into the gap between the buffers
    EXPECT_EQ(Write(), ERR_WRONG_FILE_SAVE);
    EXPECT_TRUE(host.Has(2, "Error: read range 0x00001f00 - 0x000030ff leaves the buffers at 0x00002000"));
    SetRead({{0x3F00, 0x4000}});  // runs past the last buffer
    EXPECT_EQ(Write(), ERR_WRONG_FILE_SAVE);
    EXPECT_FALSE(std::filesystem::exists(host.PathOf("out.srec")));
    EXPECT_EQ(host.progressBegins.size(), 0u);

    // Ranges in descending order are found all the same.
    SetRead({{0x3000, 0x3000}, {0x1000, 0x1000}});
    EXPECT_EQ(Write(), SUCCESS);
    EXPECT_EQ(Output(),
              "S00600004844521B\nS30600003000"
              "00C9\nS30600001000"
              "00E9\nS705A002000058\n");
}

// An abort while saving leaves no file that looks complete (found by the
// protocol fuzzer: a read job aborted while it saved left a file ended with
// its termination line).
TEST_F(SRecordWriter, AbortRemovesTheCutFile) {
    SetRead({{0x0, 0xFFF}});
    host.ctx->abortRequested = true;
    EXPECT_EQ(Write(), ERR_ABORT);
    EXPECT_FALSE(std::filesystem::exists(host.PathOf("out.srec")));
    EXPECT_TRUE(host.Has(0, "Incomplete file \"" + host.PathOf("out.srec") + "\" removed"));
    EXPECT_EQ(host.progressEnds, 1);
}

TEST_F(SRecordWriter, UnwritableFile) {
    SetRead({{0x0, 0xF}});
    host.ctx->plan.saveFile = host.PathOf("no/such/dir.srec");
    EXPECT_EQ(Write(), ERR_WRONG_FILE_SAVE);
    EXPECT_TRUE(host.Has(1, "Error: Unable to open file \"" + host.PathOf("no/such/dir.srec") + "\""));
    EXPECT_EQ(host.progressBegins.size(), 0u);
    // A full device is noticed when the data are written out.
    if (std::filesystem::exists("/dev/full")) {
        host.ctx->plan.saveFile = "/dev/full";
        EXPECT_EQ(Write(), ERR_WRONG_FILE_SAVE);
        EXPECT_TRUE(host.Has(1, "Error: Unable to write file \"/dev/full\""));
        EXPECT_EQ(host.progressEnds, 1);
    }
}

TEST(HexByte, UpperCaseHighNibbleFirst) {
    char text[3] = {'x', 'x', 'x'};
    EXPECT_EQ(HexByte(text, 0xA5), 2u);
    EXPECT_EQ(std::string(text, 3), "A5x");
    HexByte(text, 0x0F);
    EXPECT_EQ(std::string(text, 2), "0F");
    HexByte(text, 0xF0);
    EXPECT_EQ(std::string(text, 2), "F0");
}

}  // namespace
}  // namespace flashwire
