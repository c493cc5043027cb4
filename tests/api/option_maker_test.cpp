// CheckOptions and the option-string maker: fragments, the room rule and the
// round trip through the parser.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "api/option_ranges.h"
#include "api/options.h"
#include "flashwire/flash_api.h"

namespace flashwire {
namespace {

FlashOptions FlashJob() {
    FlashOptions o{};
    SetDefaultOptions(o);
    o.comPort[0] = 0;
    return o;
}

std::string Make(const FlashOptions& o, uint32_t* rc = nullptr) {
    char buffer[4096];
    const uint32_t r = FlashMakeOptionString(&o, buffer, sizeof(buffer));
    if (rc) *rc = r;
    return buffer;
}

void SetRanges(FlashOptions& o, RangeList list, std::initializer_list<AddressRange> ranges) {
    OptionRanges r = LoadRanges(o, list);
    uint32_t n = 0;
    for (const AddressRange& range : ranges) r[n++] = range;
    StoreRanges(o, list, r);
    SetRangeCount(o, list, n);
}

TEST(OptionMaker, DefaultFlashJob) {
    FlashOptions o = FlashJob();
    uint32_t rc = 99;
    EXPECT_EQ(Make(o, &rc), "/platform=\"\" /mode=FLASH /file=\"\" /diff=1 /com=1 /maxspeed=115200,115200 ");
    EXPECT_EQ(rc, 0u);
}

TEST(OptionMaker, FlashOptionsInOrder) {
    FlashOptions o = FlashJob();
    std::strcpy(o.platform, "P2K");
    std::strcpy(o.file, "a b.s19");
    SetRanges(o, RangeList::Reserved, {{0x1000, 0x1FFF}, {0xABC00000, 0xABCFFFFF}});
    SetRanges(o, RangeList::Read, {{0, 1}});  // not written in flash mode
    o.diff = 0;
    o.extProtect = 1;
    o.erasePasses = 3;
    o.comPort[1] = 1;
    o.maxSpeed[0] = 4;
    o.maxSpeed[1] = 0;
    o.phases = 2;
    o.noRetry = 1;
    o.debug = 1;
    o.unattended = 1;
    o.eraseUnused = 1;
    EXPECT_EQ(Make(o),
              "/platform=\"P2K\" /mode=FLASH /file=\"a b.s19\" /reserved=0x1000-0x1fff /reserved=0xabc00000-0xabcfffff"
              " /diff=0 /extprotect=1 /erase=3 /com=1,2 /maxspeed=921600,57600  /phases=FL /noretry=1");
}

TEST(OptionMaker, VerifyAndReadModes) {
    FlashOptions o = FlashJob();
    o.mode = 1;
    std::strcpy(o.file, "img.s19");
    o.erasePasses = 5;  // only written in flash mode
    o.extProtect = 1;
    EXPECT_EQ(Make(o), "/platform=\"\" /mode=VERIFY /file=\"img.s19\" /com=1 /maxspeed=115200,115200 ");

    o.mode = 2;
    std::strcpy(o.saveFile, "out.s19");
    SetRanges(o, RangeList::Read, {{0x1000, 0x1FFF}, {0x2000, 0x2FFF}});
    SetRanges(o, RangeList::Reserved, {{5, 3}});  // not looked at in read mode
    o.phases = 1;
    EXPECT_EQ(Make(o), "/platform=\"\" /mode=READ /savefile=\"out.s19\" /read=0x1000-0x1fff /read=0x2000-0x2fff"
                       " /com=1 /maxspeed=115200,115200  /phases=BL");
}

TEST(OptionMaker, ComSlots) {
    FlashOptions o = FlashJob();
    o.comPort[1] = 12;
    EXPECT_NE(Make(o).find(" /com=1 /maxspeed="), std::string::npos);
    o.comPort[1] = 1;
    EXPECT_NE(Make(o).find(" /com=1,2 /maxspeed="), std::string::npos);
    // An unused slot's speed index is never looked up outside the table.
    o.comPort[1] = 12;
    o.maxSpeed[1] = 0xFFFFFFFF;
    EXPECT_NE(Make(o).find("/maxspeed=115200,115200 "), std::string::npos);
}

TEST(OptionMaker, InvalidRecordsGiveBadParamsAndAnEmptyString) {
    struct Case {
        const char* what;
        void (*change)(FlashOptions&);
    };
    const Case cases[] = {
        {"mode 3", [](FlashOptions& o) { o.mode = 3; }},
        {"phases 3", [](FlashOptions& o) { o.phases = 3; }},
        {"no port", [](FlashOptions& o) { o.comPort[0] = 12; }},
        {"second port 13", [](FlashOptions& o) { o.comPort[1] = 13; }},
        {"speed 5 on port 1", [](FlashOptions& o) { o.maxSpeed[0] = 5; }},
        {"speed 5 on used port 2",
         [](FlashOptions& o) {
             o.comPort[1] = 3;
             o.maxSpeed[1] = 5;
         }},
        {"erase 9", [](FlashOptions& o) { o.erasePasses = 9; }},
        {"51 reserved", [](FlashOptions& o) { o.reservedCount = 51; }},
        {"reserved first > last", [](FlashOptions& o) { SetRanges(o, RangeList::Reserved, {{0, 1}, {9, 8}}); }},
        {"file unterminated", [](FlashOptions& o) { std::memset(o.file, 'a', sizeof(o.file)); }},
        {"platform unterminated", [](FlashOptions& o) { std::memset(o.platform, 'p', sizeof(o.platform)); }},
        {"verify file unterminated",
         [](FlashOptions& o) {
             o.mode = 1;
             std::memset(o.file, 'a', sizeof(o.file));
         }},
        {"read savefile unterminated",
         [](FlashOptions& o) {
             o.mode = 2;
             std::memset(o.saveFile, 's', sizeof(o.saveFile));
         }},
        {"51 read ranges",
         [](FlashOptions& o) {
             o.mode = 2;
             o.readCount = 51;
         }},
    };
    for (const Case& c : cases) {
        FlashOptions o = FlashJob();
        c.change(o);
        EXPECT_EQ(CheckOptions(o), static_cast<uint32_t>(ERR_BAD_PARAMS)) << c.what;
        char buffer[512];
        std::memset(buffer, 'z', sizeof(buffer));
        EXPECT_EQ(FlashMakeOptionString(&o, buffer, sizeof(buffer)), static_cast<uint32_t>(ERR_BAD_PARAMS)) << c.what;
        EXPECT_STREQ(buffer, "") << c.what;
    }
}

TEST(OptionMaker, ThingsCheckOptionsLetsPass) {
    FlashOptions o = FlashJob();
    o.erasePasses = 0;
    SetRanges(o, RangeList::Reserved, {{7, 7}});
    o.readCount = 999;  // the read list does not belong to flash mode
    o.maxSpeed[1] = 9;  // unused slot
    EXPECT_EQ(CheckOptions(o), 0u);
}

TEST(OptionMaker, NoBufferOrNoRoomWritesNothing) {
    const FlashOptions o = FlashJob();
    EXPECT_EQ(FlashMakeOptionString(&o, nullptr, 100), static_cast<uint32_t>(ERR_NOMEM));
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(FlashMakeOptionString(&o, buffer, 0), static_cast<uint32_t>(ERR_NOMEM));
    EXPECT_EQ(FlashMakeOptionString(&o, buffer, -5), static_cast<uint32_t>(ERR_NOMEM));
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(FlashMakeOptionString(nullptr, buffer, sizeof(buffer)), static_cast<uint32_t>(ERR_BAD_PARAMS));
    EXPECT_EQ(buffer[0], 0);
}

TEST(OptionMaker, RoomRuleToTheByte) {
    FlashOptions o = FlashJob();
    std::strcpy(o.file, "image.s19");
    SetRanges(o, RangeList::Reserved, {{0x100, 0x1ff}});
    o.comPort[1] = 1;
    o.phases = 1;
    o.noRetry = 1;
    const std::string full = Make(o);
    // The fragments, as the maker writes them.
    const std::vector<std::string> fragments = {"/platform=\"\"", " /mode=FLASH /file=\"image.s19\"",
                                                " /reserved=0x100-0x1ff", " /diff=1",
                                                " /com=", "1,", "2 ", "/maxspeed=", "115200,", "115200 ",
                                                " /phases=", "BL", " /noretry=1"};
    std::string joined;
    std::set<size_t> boundaries{0};
    for (const auto& f : fragments) boundaries.insert((joined += f).size());
    ASSERT_EQ(full, joined);

    std::vector<char> buffer(full.size() + 8);
    for (size_t size = 1; size <= full.size() + 1; ++size) {
        std::fill(buffer.begin(), buffer.end(), 'z');
        const uint32_t rc = FlashMakeOptionString(&o, buffer.data(), static_cast<int32_t>(size));
        const std::string got(buffer.data());
        if (size == full.size() + 1) {
            EXPECT_EQ(rc, 0u);
            EXPECT_EQ(got, full);
        } else {
            EXPECT_EQ(rc, static_cast<uint32_t>(ERR_NOMEM)) << size;
            // The complete fragments that fitted, and nothing past the buffer.
            EXPECT_LT(got.size(), size);
            EXPECT_TRUE(boundaries.count(got.size())) << size;
            EXPECT_EQ(full.compare(0, got.size(), got), 0);
            EXPECT_EQ(buffer[size], 'z');
            // The fragment after the ones written would not have fitted.
            const size_t next = *boundaries.upper_bound(got.size());
            EXPECT_GE(next + 1, size + 1) << size;
        }
    }
}

TEST(OptionMaker, ParseMakeParseRoundTrip) {
    const char* inputs[] = {
        "/com=2,3 /mode=flash /file=\"my image.s19\" /platform=P2K /reserved=0x3000-0x3fff /reserved=16-31 "
        "/diff=0 /extprotect=1 /erase=4 /maxspeed=460800 /phases=fl /noretry=1",
        "/mode=read /savefile=out.s19 /read=0x1000-0x1fff /read=0-0xff /com=12 /maxspeed=57600,921600",
        "/mode=verify /file=x.s19 /com=1 /phases=bl",
    };
    for (const char* input : inputs) {
        FlashOptions first{};
        ASSERT_EQ(FlashParseOptionString(nullptr, input, nullptr, &first), 0u) << input;
        const std::string made = Make(first);
        FlashOptions second{};
        ASSERT_EQ(FlashParseOptionString(nullptr, made.c_str(), nullptr, &second), 0u) << made;
        EXPECT_EQ(Make(second), made);
        EXPECT_EQ(std::memcmp(&first, &second, offsetof(FlashOptions, reserved)), 0) << made;
        EXPECT_EQ(+first.readCount, +second.readCount);
        EXPECT_EQ(+first.noRetry, +second.noRetry);
    }
}

}  // namespace
}  // namespace flashwire
