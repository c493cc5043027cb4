// scripts/make-sample-image.py writes images the S-record reader loads to the
// bytes its seed gives, at the address asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/region_list.h"
#include "image/srec_reader.h"
#include "image/test_host.h"

namespace flashwire {
namespace {

using testing::TestHost;

// The script's bytes: bits 16-23 of each value of its generator.
std::vector<uint8_t> SeedBytes(std::size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

class SampleImageScript : public ::testing::Test {
protected:
    int Make(const std::string& arguments, const std::string& name) {
        const std::string command = "python3 '" FLASHWIRE_SOURCE_DIR "/scripts/make-sample-image.py' " + arguments +
                                    " -o '" + host.PathOf(name) + "' 2>'" + host.PathOf("error.txt") + "'";
        return std::system(command.c_str());
    }
    // Loads name into one buffer of [first, last] and checks that exactly
    // data was loaded, at address.
    void ExpectLoads(const std::string& name, uint32_t first, uint32_t last, uint32_t address,
                     const std::vector<uint8_t>& data) {
        RegionList& list = host.ctx->imageList();
        list.bufferCount = 1;
        list.buffers[0].first = first;
        list.buffers[0].last = last;
        list.buffers[0].data = std::make_unique<uint8_t[]>(last - first + 1);
        ASSERT_EQ(LoadSRecordFile(*host.ctx, list, host.PathOf(name).c_str(), true), SUCCESS);
        ASSERT_EQ(list.rangeCount, 1u);
        EXPECT_EQ(list.ranges[0].first, address);
        EXPECT_EQ(list.ranges[0].last, address + data.size() - 1);
        const uint8_t* loaded = list.buffers[0].data.get() + (address - first);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), loaded)) << name << ": loaded bytes differ";
    }

    TestHost host;
};

TEST_F(SampleImageScript, OneMebibyteAtZeroLoads) {
    ASSERT_EQ(Make("--size 1M --address 0x0 --seed 1", "image.s19"), 0);
    ExpectLoads("image.s19", 0, 0x1FFFFF, 0, SeedBytes(1u << 20, 1));
    // Header and termination records are passed over, nothing else.
    EXPECT_TRUE(host.Has(0, "SRE line 1: IGNORING: S00600004844521B"));
    EXPECT_TRUE(host.Has(0, "SRE line 32770: IGNORING: S70500000000FA"));
}

TEST_F(SampleImageScript, SizeNotAMultipleOfARecordAtAnOddAddress) {
    ASSERT_EQ(Make("--size 1000 --address 0x20011 --seed 0x2A", "odd.s19"), 0);
    ExpectLoads("odd.s19", 0x20000, 0x2FFFF, 0x20011, SeedBytes(1000, 42));
    const std::string text = TestHost::ReadFile(host.PathOf("odd.s19"));
    // 31 records of 32 bytes and one of 8.
    EXPECT_NE(text.find("\nS30D000203F1"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 15), "S70500020011E7\n");
}

TEST_F(SampleImageScript, KibibyteSuffixAndSeeds) {
    ASSERT_EQ(Make("--size 2k --address 0x400 --seed 7", "a.s19"), 0);
    ASSERT_EQ(Make("--size 2K --address 0x400 --seed 7", "b.s19"), 0);
    ASSERT_EQ(Make("--size 2K --address 0x400 --seed 8", "c.s19"), 0);
    EXPECT_EQ(TestHost::ReadFile(host.PathOf("a.s19")), TestHost::ReadFile(host.PathOf("b.s19")));
    ExpectLoads("c.s19", 0, 0xFFFF, 0x400, SeedBytes(2048, 8));
}

TEST_F(SampleImageScript, RefusesImagesThatDoNotFit) {
    EXPECT_NE(Make("--size 0", "zero.s19"), 0);
    EXPECT_NE(Make("--size 2K --address 0xFFFFF801", "past.s19"), 0);
    EXPECT_NE(TestHost::ReadFile(host.PathOf("error.txt")).find("must end at or below 0xFFFFFFFF"),
              std::string::npos);
    EXPECT_NE(Make("--size 12Q", "bad.s19"), 0);
}

}  // namespace
}  // namespace flashwire
