// The option-string parser: grammar, every option's limits, echo and error
// lines, ranges and the help text.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/option_ranges.h"
#include "api/test_host.h"
#include "platform/platform.h"

namespace flashwire::test {
namespace {

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        services_ = platform::SystemServices();
        services_.clock = &clock_;
        host_.Bind(services_);
    }

    // Parses text into a fresh record; returns the code and keeps the count.
    uint32_t Parse(const std::string& text) {
        host_.lines.clear();
        count_ = -7;
        return FlashParseOptionString(&host_.handle, text.c_str(), &count_, &o_);
    }

    std::vector<Line> Lines() const { return host_.lines; }

    FakeClock clock_;
    platform::Services services_;
    RecordingHost host_;
    FlashOptions o_{};
    int32_t count_ = 0;
};

void ExpectDefaults(const FlashOptions& o) {
    EXPECT_STREQ(o.platform, "");
    EXPECT_STREQ(o.file, "");
    EXPECT_STREQ(o.saveFile, "");
    EXPECT_EQ(+o.comPort[0], 12u);
    EXPECT_EQ(+o.comPort[1], 12u);
    EXPECT_EQ(+o.maxSpeed[0], 1u);
    EXPECT_EQ(+o.maxSpeed[1], 1u);
    EXPECT_EQ(+o.mode, 0u);
    EXPECT_EQ(+o.erasePasses, 1u);
    EXPECT_EQ(+o.phases, 0u);
    EXPECT_EQ(+o.reservedCount, 0u);
    EXPECT_EQ(+o.readCount, 0u);
    EXPECT_EQ(+o.debug, 0u);
    EXPECT_EQ(+o.eraseUnused, 0u);
    EXPECT_EQ(+o.extProtect, 0u);
    EXPECT_EQ(+o.noRetry, 0u);
    EXPECT_EQ(+o.unattended, 0u);
    EXPECT_EQ(+o.diff, 1u);
}

TEST_F(ParserTest, EmptyAndOptionlessStringsGiveDefaultsAndNoError) {
    std::memset(&o_, 0xAB, sizeof(o_));
    EXPECT_EQ(Parse(""), 0u);
    EXPECT_EQ(count_, 0);
    ExpectDefaults(o_);
    // The range arrays are left as they were.
    EXPECT_EQ(LoadRanges(o_, RangeList::Read)[0].first, 0xABABABABu);

    EXPECT_EQ(Parse("no options here"), 0u);
    EXPECT_EQ(count_, 0);
    EXPECT_TRUE(Lines().empty());

    // An empty name ends parsing without an error.
    EXPECT_EQ(Parse("/=x /mode=read"), 0u);
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(+o_.mode, 0u);

    EXPECT_EQ(FlashParseOptionString(&host_.handle, nullptr, &count_, &o_), 0u);
    EXPECT_EQ(count_, 0);
}

TEST_F(ParserTest, OptionsDoNotAccumulateOverCalls) {
    ASSERT_EQ(Parse("/com=3 /mode=read /read=0-1"), 0u);
    ASSERT_EQ(Parse("/diff=0"), 0u);
    EXPECT_EQ(+o_.comPort[0], 12u);
    EXPECT_EQ(+o_.mode, 0u);
    EXPECT_EQ(+o_.readCount, 0u);
    EXPECT_EQ(+o_.diff, 0u);
}

TEST_F(ParserTest, DashColonAndAnyCase) {
    EXPECT_EQ(Parse("-MODE:Verify"), 0u);
    EXPECT_EQ(count_, 1);
    EXPECT_EQ(+o_.mode, 1u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/mode=verify"}}));

    EXPECT_EQ(Parse("/Mode=SUCK /PHASES=BL"), 0u);
    EXPECT_EQ(+o_.mode, 2u);
    EXPECT_EQ(+o_.phases, 1u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/mode=suck"}, {0, "/phases=bl"}}));
}

TEST_F(ParserTest, QuotedValueKeepsBlanksAndClosingQuoteIsSkipped) {
    EXPECT_EQ(Parse("/file=\"my image - v2.s19\" /mode=read"), 0u);
    EXPECT_EQ(count_, 2);
    EXPECT_STREQ(o_.file, "my image - v2.s19");
    EXPECT_EQ(+o_.mode, 2u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/file=my image - v2.s19"}, {0, "/mode=read"}}));

    // Blanks before the value are skipped; an unclosed quote runs to the end.
    EXPECT_EQ(Parse("/platform=   \"a b"), 0u);
    EXPECT_STREQ(o_.platform, "a b");
}

TEST_F(ParserTest, EmptyValueTakesTheNextOptionAsValue) {
    EXPECT_EQ(Parse("/file= /mode=read"), 0u);
    EXPECT_EQ(count_, 1);
    EXPECT_STREQ(o_.file, "/mode=read");
    EXPECT_EQ(+o_.mode, 0u);
}

TEST_F(ParserTest, NameAtTheEndHasAnEmptyValue) {
    EXPECT_EQ(Parse("/mode=read /debug"), 0u);
    EXPECT_EQ(count_, 2);
    EXPECT_EQ(+o_.debug, 0u);
    EXPECT_EQ(Lines().back(), (Line{0, "/debug=0"}));
}

// A text option with nothing after its name (the string ends there) is an
// empty text; the value then points nowhere and must not be copied from.
TEST_F(ParserTest, TextOptionAtTheEndWithoutValueIsEmpty) {
    std::snprintf(o_.platform, FLASH_TEXT_SIZE, "old");
    for (const char* name : {"platform", "file", "savefile"}) {
        EXPECT_EQ(Parse(std::string("/mode=read /") + name), 0u) << name;
        EXPECT_EQ(count_, 2);
        EXPECT_EQ(Lines().back(), (Line{0, std::string("/") + name + "="}));
    }
    EXPECT_STREQ(o_.platform, "");
    EXPECT_STREQ(o_.file, "");
    EXPECT_STREQ(o_.saveFile, "");
}

TEST_F(ParserTest, FlagsHoldZeroOrOne) {
    EXPECT_EQ(Parse("/debug=5 /eraseunused=-3 /extprotect=1 /noretry=yes /unattended= 7 /diff=0"), 0u);
    EXPECT_EQ(count_, 6);
    EXPECT_EQ(+o_.debug, 1u);
    EXPECT_EQ(+o_.eraseUnused, 1u);
    EXPECT_EQ(+o_.extProtect, 1u);
    EXPECT_EQ(+o_.noRetry, 0u);
    EXPECT_EQ(+o_.unattended, 1u);
    EXPECT_EQ(+o_.diff, 0u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/debug=1"},
                                          {0, "/eraseunused=1"},
                                          {0, "/extprotect=1"},
                                          {0, "/noretry=0"},
                                          {0, "/unattended=1"},
                                          {0, "/diff=0"}}));
}

TEST_F(ParserTest, DecimalNumbersSaturateInsteadOfOverflowing) {
    EXPECT_EQ(ParseDecimal(" +12abc"), 12);
    EXPECT_EQ(ParseDecimal("-7"), -7);
    EXPECT_EQ(ParseDecimal("yes"), 0);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(ParseDecimal("-99999999999999999999999"), INT32_MIN);
    EXPECT_EQ(ParseDecimal("-2147483648"), INT32_MIN);
    // The longest value taken: 511 characters, a huge number, still non-zero.
    EXPECT_EQ(Parse("/debug=" + std::string(511, '9')), 0u);
    EXPECT_EQ(+o_.debug, 1u);
}

TEST_F(ParserTest, ValuesLongerThan511CharactersAreRejectedNamingTheOption) {
    const std::string long512(512, '1');
    const struct {
        const char* name;
        std::string value;
    } cases[] = {
        {"com", "1," + std::string(510, ',')},
        {"MaxSpeed", "115200" + std::string(506, ',')},
        {"erase", long512},
        {"debug", long512},
        {"diff", long512},
        {"read", "0x1000-0x1fff-" + std::string(498, 'z')},
        {"suck", "0x1000-0x1fff-" + std::string(498, 'z')},
        {"reserved", "0x1000-0x1fff-" + std::string(498, 'z')},
        {"mode", "flash" + std::string(507, 'z')},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.value.size(), 512u);
        // The 511-character version of the same value is not rejected for its length.
        Parse(std::string("/") + c.name + "=" + c.value.substr(0, 511));
        ASSERT_TRUE(Lines().empty() || Lines().front().text.find("too long") == std::string::npos) << c.name;

        EXPECT_EQ(Parse(std::string("/") + c.name + "=" + c.value + " /com=3"),
                  static_cast<uint32_t>(ERR_BAD_CMDLINE))
            << c.name;
        EXPECT_EQ(count_, 0);
        std::string keyword = c.name;
        for (char& ch : keyword) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(Lines(), (std::vector<Line>{{2, "/" + keyword + " value too long (max. 511 characters)"}}))
            << c.name;
        EXPECT_EQ(+o_.comPort[0], 12u);  // parsing stopped there
    }
    // An unknown name with a long value is still an unknown option.
    EXPECT_EQ(Parse("/verbose=" + long512), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines().front(), (Line{2, "Unknown option: verbose"}));
}

TEST_F(ParserTest, EraseIsUnboundedHereAndZeroIsRejectedSilently) {
    EXPECT_EQ(Parse("/erase=9"), 0u);
    EXPECT_EQ(+o_.erasePasses, 9u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/erase=9"}}));

    EXPECT_EQ(Parse("/erase=-1"), 0u);
    EXPECT_EQ(+o_.erasePasses, 4294967295u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/erase=4294967295"}}));

    for (const char* bad : {"/erase=0", "/erase=abc", "/erase"}) {
        EXPECT_EQ(Parse(bad), static_cast<uint32_t>(ERR_BAD_CMDLINE)) << bad;
        EXPECT_EQ(count_, 0);
        EXPECT_TRUE(Lines().empty()) << bad;
    }
}

TEST_F(ParserTest, ComPorts) {
    EXPECT_EQ(Parse("/com=1,1"), 0u);
    EXPECT_EQ(+o_.comPort[0], 0u);
    EXPECT_EQ(+o_.comPort[1], 0u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/com=1,1 "}}));

    EXPECT_EQ(Parse("/com=1,2,3"), 0u);
    EXPECT_EQ(+o_.comPort[0], 0u);
    EXPECT_EQ(+o_.comPort[1], 1u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/com=1,2 "}}));

    EXPECT_EQ(Parse("/com=,12"), 0u);
    EXPECT_EQ(+o_.comPort[0], 11u);
    EXPECT_EQ(+o_.comPort[1], 12u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/com=12 "}}));

    for (const char* token : {"0", "13", "COM1"}) {
        EXPECT_EQ(Parse(std::string("/com=") + token), static_cast<uint32_t>(ERR_BAD_CMDLINE));
        EXPECT_EQ(count_, 0);
        EXPECT_EQ(Lines(), (std::vector<Line>{{2, std::string(token) + " is not a valid COM port. Valid are 1-12"}}));
    }
    // A rejected second port leaves the record as it was.
    EXPECT_EQ(Parse("/com=2,99"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(+o_.comPort[0], 12u);

    EXPECT_EQ(Parse("/com=,,"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines(), (std::vector<Line>{{2, "No valid COM port specified."}}));
}

TEST_F(ParserTest, MaxSpeed) {
    EXPECT_EQ(Parse("/maxspeed=921600"), 0u);
    EXPECT_EQ(+o_.maxSpeed[0], 4u);
    EXPECT_EQ(+o_.maxSpeed[1], 1u);
    EXPECT_TRUE(Lines().empty());  // no echo

    EXPECT_EQ(Parse("/maxspeed=921600,57600"), 0u);
    EXPECT_EQ(+o_.maxSpeed[0], 4u);
    EXPECT_EQ(+o_.maxSpeed[1], 0u);

    EXPECT_EQ(Parse("/maxspeed=230400,460800,1"), 0u);
    EXPECT_EQ(+o_.maxSpeed[0], 2u);
    EXPECT_EQ(+o_.maxSpeed[1], 3u);

    // Both tokens are examined before the option is rejected.
    EXPECT_EQ(Parse("/maxspeed=1234,9600"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines(), (std::vector<Line>{{2, "Unsupported MAXSPEED 1234"}, {2, "Unsupported MAXSPEED 9600"}}));
    EXPECT_EQ(+o_.maxSpeed[0], 1u);

    EXPECT_EQ(Parse("/maxspeed=115200,-57600"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines(), (std::vector<Line>{{2, "Unsupported MAXSPEED -57600"}}));

    EXPECT_EQ(Parse("/maxspeed=,"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines(), (std::vector<Line>{{2, "no valid /maxspeed pecified"}}));
}

TEST_F(ParserTest, ModeAndPhaseErrors) {
    EXPECT_EQ(Parse("/mode=Erase /com=1"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(count_, 0);
    // Parsing stopped at the error: /com was not looked at.
    EXPECT_EQ(Lines(), (std::vector<Line>{{2, "Unknown MODE Erase"}}));
    EXPECT_EQ(+o_.comPort[0], 12u);

    EXPECT_EQ(Parse("/com=2 /phases=x"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(+o_.comPort[0], 1u);  // accepted before the error
    EXPECT_EQ(Lines().back(), (Line{2, "Unknown PHASE x"}));
}

TEST_F(ParserTest, TextValues) {
    EXPECT_EQ(Parse("/suckfile=out.s19 /platform=P2K"), 0u);
    EXPECT_STREQ(o_.saveFile, "out.s19");
    EXPECT_STREQ(o_.platform, "P2K");
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/savefile=out.s19"}, {0, "/platform=P2K"}}));

    // 249 characters fit; the echo is then exactly 259 characters long.
    const std::string longest(249, 'f');
    EXPECT_EQ(Parse("/savefile=" + longest), 0u);
    EXPECT_EQ(std::string(o_.saveFile), longest);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/savefile=" + longest}}));

    // 250 or more are rejected, never cut.
    for (const char* name : {"file", "savefile", "suckfile", "platform"}) {
        for (size_t n : {250u, 5000u}) {
            EXPECT_EQ(Parse(std::string("/") + name + "=\"" + std::string(n, 'x') + "\""),
                      static_cast<uint32_t>(ERR_BAD_CMDLINE));
            EXPECT_EQ(Lines(), (std::vector<Line>{
                                   {2, std::string("/") + name + " value too long (max. 249 characters)"}}));
        }
    }
    EXPECT_STREQ(o_.file, "");
}

TEST_F(ParserTest, UnknownOptionSendsTheHelpText) {
    EXPECT_EQ(Parse("/verbose=1"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(count_, 0);
    const std::vector<Line> expected = {
        {2, "Unknown option: verbose"},
        {0, "Valid options: (values that contain blanks have to be enclosed in double quotes)"},
        {0, "/platform=#      specify type of hardware"},
        {0, "/com=#[,#]       com port(s) to be used (1..12)"},
        {0, "/mode=           flash|verify|read"},
        {0, "/file=name       filename of image to be flashed into mobile"},
        {0, "/savefile=name   filename to write the read data into"},
        {0, "/phases=         all|bl|fl"},
        {0, "/erase=#         number of erase passes on flash sectors (1..8)"},
        {0, "/debug=#         verbose output during operation (0|1)"},
        {0, "/reserved=#-#    treat memory range #..# as reserved"},
        {0, "/read=#-#        read memory range #..# from mobile"},
        {0, "/eraseunused=#   erase unused parts of flash (0|1) (very slow)"},
        {0, "/extprotect=#    extra safety for flash sectors (0|1) (slow)"},
        {0, "/noretry=#       in case of an error, no retry is done (0|1)"},
        {0, "/unattended=#    for use in batch files (0|1)"},
        {0, "/diff=#          only flash differences (0|1)"},
        {0, "/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600"},
    };
    EXPECT_EQ(Lines(), expected);

    // A name with a blank is a different name; a huge one is cut in the line.
    EXPECT_EQ(Parse("/mode =read"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines().front(), (Line{2, "Unknown option: mode "}));
    EXPECT_EQ(Parse("/" + std::string(3000, 'n') + "=1"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines().front().text, "Unknown option: " + std::string(259 - 16, 'n'));
}

TEST_F(ParserTest, RangeValues) {
    uint32_t a = 0, b = 0;
    EXPECT_TRUE(ParseRange("0x1000-0x1fff", a, b));
    EXPECT_EQ(a, 0x1000u);
    EXPECT_EQ(b, 0x1fffu);
    EXPECT_TRUE(ParseRange("4096-8191", a, b));
    EXPECT_EQ(b, 8191u);
    EXPECT_TRUE(ParseRange("0x1000-8191", a, b));
    EXPECT_EQ(a, 0x1000u);
    EXPECT_EQ(b, 8191u);
    EXPECT_TRUE(ParseRange("0x10zz-20", a, b));  // reading stops at the first other character
    EXPECT_EQ(a, 0x10u);
    EXPECT_TRUE(ParseRange("1000X-0x2000-junk", a, b));  // an 'X' anywhere means hex; a second '-' ends it
    EXPECT_EQ(a, 0x1000u);
    EXPECT_EQ(b, 0x2000u);
    EXPECT_TRUE(ParseRange("0-4294967295", a, b));
    EXPECT_EQ(b, 0xFFFFFFFFu);
    EXPECT_TRUE(ParseRange("0x0-0xffffffff", a, b));
    EXPECT_TRUE(ParseRange("0x" + std::string(90, '0') + "1-2", a, b));

    for (const char* bad : {"0x2000-0x2000", "5-3", "0x100-0xff", "", "-", "0x100", "0x100-", "-0x100",
                            "x1-x2", "zz-10", "0-0x100000000", "0-4294967296", "0-99999999999999999999"}) {
        EXPECT_FALSE(ParseRange(bad, a, b)) << bad;
    }
    EXPECT_FALSE(ParseRange("0x" + std::string(120, '0') + "1-0x2", a, b));  // bound too long
}

TEST_F(ParserTest, ReadAndReservedLists) {
    EXPECT_EQ(Parse("/read=0x1000-8191"), 0u);
    EXPECT_EQ(Lines(), (std::vector<Line>{{0, "/read=0x00001000 - 0x00001fff (4096 - 8191)"}}));

    EXPECT_EQ(Parse("/read=0x100-0xff"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines(), (std::vector<Line>{{2, "Bad /read definition: 0x100-0xff"}}));
    EXPECT_EQ(Parse("/reserved=0x100"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines(), (std::vector<Line>{{2, "Bad /reserved definition: 0x100"}}));

    // Touching ranges do not overlap; overlapping ones are rejected.
    EXPECT_EQ(Parse("/read=0-0x1ff /read=0x200-0x2ff"), 0u);
    EXPECT_EQ(+o_.readCount, 2u);
    EXPECT_EQ(Parse("/read=0-0x200 /suck=0x200-0x2ff"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines().back(), (Line{2, "Overlapping /read regions defined"}));
    EXPECT_EQ(Parse("/reserved=0x100-0x1ff /reserved=0-0x1000"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(Lines().back(), (Line{2, "Overlapping /reserved regions defined"}));

    // The two lists are independent.
    EXPECT_EQ(Parse("/read=0-0x1000 /reserved=0x10-0x20"), 0u);
    EXPECT_EQ(+o_.readCount, 1u);
    EXPECT_EQ(+o_.reservedCount, 1u);
}

TEST_F(ParserTest, FiftyRangesPerListAndTheyAreSorted) {
    std::string text;
    for (uint32_t i = 50; i-- > 0;) text += " /read=" + std::to_string(i * 16) + "-" + std::to_string(i * 16 + 15);
    ASSERT_EQ(Parse(text), 0u);
    EXPECT_EQ(count_, 50);
    const OptionRanges read = LoadRanges(o_, RangeList::Read);
    for (uint32_t i = 0; i < 50; ++i) EXPECT_EQ(read[i].first, i * 16) << i;

    EXPECT_EQ(Parse(text + " /read=0x10000-0x10001"), static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(Lines().back(), (Line{2, "Too many /read definitions (max. 50)"}));

    ASSERT_EQ(Parse("/reserved=0x3000-0x3fff /reserved=0x1000-0x1fff /reserved=0x2000-0x2fff"), 0u);
    const OptionRanges reserved = LoadRanges(o_, RangeList::Reserved);
    EXPECT_EQ(reserved[0].first, 0x1000u);
    EXPECT_EQ(reserved[1].first, 0x2000u);
    EXPECT_EQ(reserved[2].first, 0x3000u);
}

TEST_F(ParserTest, WorksWithoutABoundHandleOrCount) {
    FlashOptions o{};
    EXPECT_EQ(FlashParseOptionString(nullptr, "/mode=read", nullptr, &o), 0u);
    EXPECT_EQ(+o.mode, 2u);
    int32_t count = 5;
    EXPECT_EQ(FlashParseOptionString(&host_.handle, "/mode=read", &count, nullptr),
              static_cast<uint32_t>(ERR_BAD_CMDLINE));
    EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace flashwire::test
