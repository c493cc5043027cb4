// S-record files of other tools load to the same bytes, and the files our
// writer produces convert to the same bytes with those tools.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "image/srec_reader.h"
#include "image/srec_writer.h"
#include "image/test_host.h"

namespace flashwire {
namespace {

using testing::TestHost;

bool HaveTool(const char* name) {
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::vector<uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

class SRecordInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("srec_cat") || !HaveTool("objcopy"))
            GTEST_SKIP() << "srec_cat or objcopy not installed";
    }
    int Run(const std::string& command) {
        const std::string full = "cd '" + host.Dir() + "' && " + command + " >tool.log 2>&1";
        return std::system(full.c_str());
    }
    void SetImageBuffer(uint32_t first, uint32_t last) {
        RegionList& list = host.ctx->imageList();
        list.bufferCount = 1;
        list.buffers[0].first = first;
        list.buffers[0].last = last;
        list.buffers[0].data = std::make_unique<uint8_t[]>(last - first + 1);
    }
    // Loads name and checks that exactly data was loaded at address.
    void ExpectLoads(const std::string& name, uint32_t address, const std::vector<uint8_t>& data) {
        SCOPED_TRACE(name);
        RegionList& list = host.ctx->imageList();
        ASSERT_EQ(LoadSRecordFile(*host.ctx, list, host.PathOf(name).c_str(), true), SUCCESS);
        ASSERT_EQ(list.rangeCount, 1u);
        EXPECT_EQ(list.ranges[0].first, address);
        EXPECT_EQ(list.ranges[0].last, address + data.size() - 1);
        const uint8_t* loaded = list.buffers[0].data.get() + (address - list.buffers[0].first);
        EXPECT_EQ(std::vector<uint8_t>(loaded, loaded + data.size()), data);
    }

    TestHost host;
};

TEST_F(SRecordInterop, FilesOfOtherToolsLoadToTheSameBytes) {
    const std::vector<uint8_t> data = RandomBytes(70001, 11);
    host.WriteFile("in.bin", std::string(data.begin(), data.end()));
    SetImageBuffer(0, 0x3FFFF);

    ASSERT_EQ(Run("srec_cat in.bin -binary -offset 0x10000 -o cat.srec -motorola"), 0);
    ExpectLoads("cat.srec", 0x10000, data);
    ASSERT_EQ(Run("srec_cat in.bin -binary -offset 0x10000 -o cat3.srec -motorola -address-length=4 "
                  "-output-block-size=56"),
              0);
    ExpectLoads("cat3.srec", 0x10000, data);
    ASSERT_EQ(Run("srec_cat in.bin -binary -offset 0x100 -crop 0x100 0x10000 -o cat1.srec -motorola "
                  "-address-length=2"),
              0);
    ExpectLoads("cat1.srec", 0x100, std::vector<uint8_t>(data.begin(), data.begin() + 0x10000 - 0x100));

    ASSERT_EQ(Run("objcopy -I binary -O srec --change-addresses 0x10000 in.bin obj.srec"), 0);
    ExpectLoads("obj.srec", 0x10000, data);
    ASSERT_EQ(Run("objcopy -I binary -O srec --srec-forceS3 --srec-len 32 --change-addresses 0x20000 in.bin "
                  "obj3.srec"),
              0);
    ExpectLoads("obj3.srec", 0x20000, data);
}

TEST_F(SRecordInterop, OurFilesConvertToTheSameBytes) {
    SetImageBuffer(0x20000, 0x2FFFF);
    const std::vector<uint8_t> data = RandomBytes(0x10000, 5);
    std::copy(data.begin(), data.end(), host.ctx->imageList().buffers[0].data.get());
    const uint32_t first = 0x20010;
    const uint32_t last = 0x2ABCD;
    const AddressRange read[] = {{first, last}};
    ASSERT_EQ(WriteSRecordFile(*host.ctx, host.ctx->imageList(), read, host.PathOf("ours.srec").c_str()), SUCCESS);
    const std::string expected(data.begin() + (first - 0x20000), data.begin() + (last - 0x20000) + 1);

    ASSERT_EQ(Run("srec_cat ours.srec -motorola -offset -0x20010 -o cat.bin -binary"), 0)
        << TestHost::ReadFile(host.PathOf("tool.log"));
    EXPECT_EQ(TestHost::ReadFile(host.PathOf("cat.bin")), expected);
    ASSERT_EQ(Run("objcopy -I srec -O binary ours.srec obj.bin"), 0)
        << TestHost::ReadFile(host.PathOf("tool.log"));
    EXPECT_EQ(TestHost::ReadFile(host.PathOf("obj.bin")), expected);

    // And our reader takes its own file back.
    SetImageBuffer(0x20000, 0x2FFFF);
    ExpectLoads("ours.srec", first, std::vector<uint8_t>(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace flashwire
