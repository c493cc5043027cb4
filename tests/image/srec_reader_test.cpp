#include "image/srec_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "image/region_list.h"
#include "image/srec_test_util.h"
#include "image/test_host.h"

namespace flashwire {
namespace {

using testing::Bytes;
using testing::Record;
using testing::TestHost;

class SRecordReader : public ::testing::Test {
protected:
    SRecordReader() { SetBuffers({{0x0, 0xFFFF}}); }

    void SetBuffers(std::vector<std::pair<uint32_t, uint32_t>> bounds) {
        RegionList& list = host.ctx->imageList();
        list.bufferCount = static_cast<uint32_t>(bounds.size());
        for (std::size_t i = 0; i < bounds.size(); ++i) {
            list.buffers[i].first = bounds[i].first;
            list.buffers[i].last = bounds[i].second;
            list.buffers[i].data = std::make_unique<uint8_t[]>(RegionLength(list.buffers[i]));  // zeroed
        }
    }
    uint32_t Load(const std::string& content, bool rangeCheck = false) {
        path = host.WriteFile("in.srec", content);
        return LoadSRecordFile(*host.ctx, List(), path.c_str(), rangeCheck, host.ctx->plan.ReservedRanges());
    }
    RegionList& List() { return host.ctx->imageList(); }
    uint8_t At(uint32_t address, uint32_t buffer = 0) {
        return List().buffers[buffer].data[address - List().buffers[buffer].first];
    }
    std::vector<std::pair<uint32_t, uint32_t>> Ranges() {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (uint32_t i = 0; i < List().rangeCount; ++i)
            out.emplace_back(List().ranges[i].first, List().ranges[i].last);
        return out;
    }
    void AddReserved(uint32_t first, uint32_t last) {
        const uint32_t n = host.ctx->plan.reservedCount;
        host.ctx->plan.reserved[n] = {first, last};
        host.ctx->plan.reservedCount = n + 1;
    }

    TestHost host;
    std::string path;
};

using R = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(SRecordReader, HeaderAndTerminationOnly) {
    EXPECT_EQ(Load("S00600004844521B\nS9030000FC\n"), SUCCESS);
    EXPECT_EQ(List().rangeCount, 0u);
    const std::vector<std::string> expected = {
        "Loading S-record file (RangeCheck=Off)",           "File: " + path,
        "SRE line 1: IGNORING: S00600004844521B",           "SRE line 2: IGNORING: S9030000FC",
        "There are 0 memory regions in the S-record file:",
    };
    EXPECT_EQ(host.Texts(), expected);
    EXPECT_EQ(host.progressBegins, std::vector<std::string>{"Loading S-Record File ..."});
    EXPECT_EQ(host.progressEnds, 1);
}

TEST_F(SRecordReader, ContiguousRecordsFormOneRangeAndUnwrittenBytesAreFF) {
    EXPECT_EQ(Load(Record('3', 0x1000, Bytes(0, 16)) + Record('3', 0x1010, Bytes(16, 16)), true), SUCCESS);
    EXPECT_EQ(Ranges(), (R{{0x1000, 0x101F}}));
    for (uint32_t a = 0; a < 32; ++a) EXPECT_EQ(At(0x1000 + a), a);
    EXPECT_EQ(At(0x0FFF), 0xFF);
    EXPECT_EQ(At(0x1020), 0xFF);
    EXPECT_EQ(At(0xFFFF), 0xFF);
    EXPECT_TRUE(host.Has(0, "Loading S-record file (RangeCheck=On)"));
    EXPECT_TRUE(host.Has(0, "There is 1 memory region in the S-record file:"));
    EXPECT_TRUE(host.Has(0, " 1: 0x00001000 - 0x0000101f =         32 Bytes"));
}

TEST_F(SRecordReader, RepeatedDataIsAnOverlapWhenEntered) {
    const std::string twice = Record('3', 0x1000, Bytes(0, 16)) + Record('3', 0x1010, Bytes(16, 16)) +
                              Record('3', 0x1000, Bytes(0, 16));
    EXPECT_EQ(Load(twice), ERR_BAD_SREC_ADDR);
    EXPECT_TRUE(
        host.Has(2, "SRE line 3: Overlapping address ranges: 0x00001000-0x0000100f, 0x00001000-0x0000101f!"));
    host.lines.clear();
    EXPECT_EQ(Load(twice + Record('3', 0x8000, Bytes(0, 4)) + Record('3', 0x9000, Bytes(0, 4))),
              ERR_BAD_SREC_ADDR);
    EXPECT_TRUE(
        host.Has(2, "SRE line 4: Overlapping address ranges: 0x00001000-0x0000100f, 0x00001000-0x0000101f!"));
    EXPECT_FALSE(host.Has(0, "There is 1 memory region in the S-record file:"));
}

TEST_F(SRecordReader, DescendingAndTouchingRecords) {
    EXPECT_EQ(Load(Record('3', 0x3000, Bytes(0, 8)) + Record('3', 0x2000, Bytes(0, 8)) +
                   Record('3', 0x1010, Bytes(0, 16)) + Record('3', 0x1000, Bytes(0, 16))),
              SUCCESS);
    EXPECT_EQ(Ranges(), (R{{0x1000, 0x101F}, {0x2000, 0x2007}, {0x3000, 0x3007}}));
    EXPECT_TRUE(host.Has(0, "There are 3 memory regions in the S-record file:"));
    EXPECT_TRUE(host.Has(0, " 3: 0x00003000 - 0x00003007 =          8 Bytes"));
}

TEST_F(SRecordReader, S1S2RecordsLowerCaseHexAndCrLf) {
    std::string s1 = Record('1', 0x0100, {0xAB, 0xCD});
    std::string s2 = Record('2', 0x00F000, {0xEF});
    for (char& c : s1) c = static_cast<char>(std::tolower(c));
    s1[0] = 'S';
    s2.insert(s2.size() - 1, "\r");
    EXPECT_EQ(Load(s1 + s2), SUCCESS);
    EXPECT_EQ(At(0x100), 0xAB);
    EXPECT_EQ(At(0x101), 0xCD);
    EXPECT_EQ(At(0xF000), 0xEF);
}

TEST_F(SRecordReader, NonHexCharactersCountAsZero) {
    std::string line = Record('3', 0x20, {0x00, 0x12});
    line[12] = 'G';  // the first data byte's high digit
    line[13] = 'z';  // and its low digit: the byte reads as 0x00
    EXPECT_EQ(Load(line), SUCCESS);
    EXPECT_EQ(At(0x20), 0x00);
    EXPECT_EQ(At(0x21), 0x12);
}

TEST_F(SRecordReader, BlankLineOrLowerCaseSIsNotAnSRecordFile) {
    EXPECT_EQ(Load(Record('3', 0, Bytes(0, 4)) + "\n" + Record('3', 4, Bytes(0, 4))), ERR_BAD_SREC_FILE);
    EXPECT_TRUE(host.Has(2, "SRE line 2: " + path + " is not a valid S-Record file!"));
    EXPECT_EQ(host.progressEnds, 1);
    host.lines.clear();
    EXPECT_EQ(Load("s00600004844521B\n"), ERR_BAD_SREC_FILE);
    EXPECT_TRUE(host.Has(2, "SRE line 1: " + path + " is not a valid S-Record file!"));
}

TEST_F(SRecordReader, ChecksumErrorKeepsDataUpToThatLine) {
    std::string text;
    for (uint32_t i = 0; i < 4; ++i) text += Record('3', i * 16, Bytes(static_cast<uint8_t>(i * 16), 16));
    text += Record('3', 64, Bytes(64, 16), 1) + Record('3', 80, Bytes(80, 16));
    EXPECT_EQ(Load(text), ERR_BAD_SREC_CHECKSUM);
    EXPECT_TRUE(host.Has(2, "SRE line 5: Checksum mismatch in S-record file"));
    for (uint32_t a = 0; a < 80; ++a) EXPECT_EQ(At(a), a);
    EXPECT_EQ(At(80), 0xFF);
    for (const auto& l : host.lines) EXPECT_EQ(l.text.find("memory region"), std::string::npos);
}

TEST_F(SRecordReader, AddressesOutsideTheBuffers) {
    SetBuffers({{0x1000, 0x1FFF}, {0x4000, 0x4FFF}});
    EXPECT_EQ(Load(Record('3', 0x4FF0, Bytes(0, 16)) + Record('3', 0x1000, Bytes(0, 1))), SUCCESS);
    EXPECT_EQ(At(0x4FFF, 1), 15);
    EXPECT_EQ(At(0x1000, 0), 0);

    EXPECT_EQ(Load(Record('3', 0x1000, Bytes(0, 4)) + Record('3', 0x2000, Bytes(0, 4))), ERR_BAD_SREC_ADDR);
    EXPECT_TRUE(host.Has(2, "SRE line 2: Address outside buffers ! 0x00002000"));
    // Data running past the end of the buffer that holds the first address.
    EXPECT_EQ(Load(Record('3', 0x1FF8, Bytes(0, 16))), ERR_BAD_SREC_ADDR);
    EXPECT_TRUE(host.Has(2, "SRE line 1: Address outside buffers ! 0x00002000"));
    EXPECT_EQ(At(0x1FFF, 0), 0xFF);  // nothing of the record was stored
}

TEST_F(SRecordReader, MalformedRecordsNameTheirLine) {
    const std::string good = Record('3', 0, Bytes(0, 4));
    EXPECT_EQ(Load(good + "S304000000FB\n"), ERR_BAD_SREC_FILE);  // byte count below address size + 1
    EXPECT_TRUE(host.Has(2, "SRE line 2: Byte count 4 too small for an S3 record"));

    std::string shortLine = Record('3', 0x10, Bytes(0, 8));
    shortLine.erase(shortLine.size() - 3, 1);  // one digit missing
    EXPECT_EQ(Load(good + good.substr(0, 0) + shortLine), ERR_BAD_SREC_FILE);
    EXPECT_TRUE(host.Has(2, "SRE line 2: Record shorter than its byte count"));

    EXPECT_EQ(Load("S3\n"), ERR_BAD_SREC_FILE);
    EXPECT_TRUE(host.Has(2, "SRE line 1: Record shorter than its byte count"));
}

TEST_F(SRecordReader, LinesOfMoreThan127CharactersAreRefused) {
    // 56 data bytes: 126 characters and the line feed, the longest S3 line there is.
    const std::string longest = Record('3', 0x100, Bytes(0, 56));
    ASSERT_EQ(longest.size(), 127u);
    EXPECT_EQ(Load(longest), SUCCESS);
    EXPECT_EQ(At(0x100 + 55), 55);

    const std::string tooLong = Record('3', 0x200, Bytes(0, 57));
    EXPECT_EQ(Load(longest + tooLong), ERR_BAD_SREC_FILE);
    EXPECT_TRUE(host.Has(2, "SRE line 2: Line longer than 127 characters"));
    // Trailing characters after the checksum are not looked at, but count for the length.
    std::string padded = longest;
    padded.insert(padded.size() - 1, " ");
    EXPECT_EQ(Load(padded), ERR_BAD_SREC_FILE);
    EXPECT_EQ(Load(Record('3', 0x100, Bytes(0, 4)).insert(22, "  junk")), SUCCESS);
    // A carriage return before the line feed belongs to the line end: the
    // longest line loads with Windows line ends too, a longer one does not.
    std::string crlf = longest;
    crlf.insert(crlf.size() - 1, "\r");
    std::string crlf2 = Record('3', 0x200, Bytes(1, 56));
    crlf2.insert(crlf2.size() - 1, "\r");
    ASSERT_EQ(crlf2.size(), 128u);
    EXPECT_EQ(Load(crlf + crlf2), SUCCESS);
    EXPECT_EQ(At(0x100 + 55), 55);
    EXPECT_EQ(At(0x200 + 55), 56);
    std::string crlfTooLong = padded;
    crlfTooLong.insert(crlfTooLong.size() - 1, "\r");
    host.lines.clear();
    EXPECT_EQ(Load(crlf + crlfTooLong), ERR_BAD_SREC_FILE);
    EXPECT_TRUE(host.Has(2, "SRE line 2: Line longer than 127 characters"));
    // A last line without a line end of exactly 127 characters is whole.
    std::string last = Record('3', 0x300, Bytes(0, 56));
    last.pop_back();
    last.insert(last.size(), " ");
    EXPECT_EQ(Load(last), SUCCESS);
}

TEST_F(SRecordReader, RecordsWithoutDataAreSkipped) {
    EXPECT_EQ(Load(Record('3', 0x9999999, {}) + Record('3', 0x10, Bytes(0, 2))), SUCCESS);
    EXPECT_EQ(Ranges(), (R{{0x10, 0x11}}));
}

TEST_F(SRecordReader, ReservedRangeTouchedByOneByte) {
    AddReserved(0x8000, 0x8FFF);
    AddReserved(0x1000, 0x10FF);
    const std::string text = Record('3', 0x0FF0, Bytes(0, 16)) + Record('3', 0x1000, Bytes(0, 1));
    EXPECT_EQ(Load(text, true), ERR_BAD_SREC_ADDR);
    EXPECT_TRUE(host.Has(2, "Attempt to write to reserved region 0x1000 - 0x10ff (0xff0 - 0x1000)"));
    host.lines.clear();
    EXPECT_EQ(Load(text, false), SUCCESS);
    EXPECT_EQ(Load(Record('3', 0x0FF0, Bytes(0, 16)), true), SUCCESS);  // touching is no overlap
}

TEST_F(SRecordReader, TooManyRanges) {
    std::string text;
    for (uint32_t i = 0; i < kMaxLoadedRanges; ++i) text += Record('3', i * 4, {1});
    EXPECT_EQ(Load(text), SUCCESS);
    EXPECT_EQ(List().rangeCount, kMaxLoadedRanges);
    EXPECT_EQ(Load(text + Record('3', 0xF000, {1})), ERR_TOO_MANY_RANGES);
}

TEST_F(SRecordReader, SmallFileReportsProgressOnEveryLine) {
    const std::string text = Record('3', 0, {1}) + Record('3', 8, {1}) + Record('3', 16, {1});
    ASSERT_LT(text.size(), 200u);
    EXPECT_EQ(Load(text), SUCCESS);
    // One update per line (each moves the percentage); the final update repeats
    // 100 % and is held back by the throttle.
    ASSERT_EQ(host.progressUpdates.size(), 3u);
    EXPECT_EQ(host.progressUpdates[0], 18u);  // the line with its line end, plus one
    EXPECT_EQ(host.progressUpdates[1], 36u);
    EXPECT_EQ(host.progressUpdates[2], text.size());
}

TEST_F(SRecordReader, MissingFileAbortAndReadability) {
    EXPECT_EQ(LoadSRecordFile(*host.ctx, List(), host.PathOf("none.srec").c_str(), false), ERR_FILEIO);
    EXPECT_TRUE(host.Has(1, "Error: Unable to open file \"" + host.PathOf("none.srec") + "\""));
    EXPECT_EQ(host.progressEnds, 0);

    EXPECT_FALSE(CheckFileReadable(*host.ctx, host.PathOf("none.srec").c_str()));
    EXPECT_FALSE(CheckFileReadable(*host.ctx, host.Dir().c_str()));
    EXPECT_TRUE(CheckFileReadable(*host.ctx, host.WriteFile("empty", "").c_str()));

    host.ctx->abortRequested = true;
    EXPECT_EQ(Load(Record('3', 0, {1})), ERR_ABORT);
    EXPECT_EQ(host.progressEnds, 1);
}

TEST_F(SRecordReader, LargeFileAcrossReadChunks) {
    SetBuffers({{0x100000, 0x4FFFFF}});
    std::mt19937 rng(7);
    std::vector<uint8_t> image(0x300000);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    std::string text = "S00600004844521B\n";
    for (uint32_t off = 0; off < image.size();) {
        const uint32_t n = std::min<uint32_t>(1 + rng() % 56, static_cast<uint32_t>(image.size()) - off);
        text +=
            Record('3', 0x100000 + off, std::vector<uint8_t>(image.begin() + off, image.begin() + off + n));
        off += n;
    }
    EXPECT_EQ(Load(text), SUCCESS);
    EXPECT_EQ(Ranges(), (R{{0x100000, 0x3FFFFF}}));
    EXPECT_EQ(std::memcmp(List().buffers[0].data.get(), image.data(), image.size()), 0);
    EXPECT_EQ(At(0x400000), 0xFF);
    EXPECT_GE(host.progressUpdates.size(), 100u);
    EXPECT_LE(host.progressUpdates.size(), 202u);
}

}  // namespace
}  // namespace flashwire
