#include "catalog/ini_file.h"

#include <gtest/gtest.h>

#include <thread>

#include "image/test_host.h"
#include "catalog/size_text.h"

namespace flashwire {
namespace {

using testing::TestHost;

TEST(IniFile, NamesIgnoreCaseBlanksAreTrimmedFirstKeyWins) {
    TestHost host;
    const std::string path = host.WriteFile("a.ini",
                                            "; comment = not a key\n"
                                            "[Other]\n"
                                            "Key=other\n"
                                            "  [ MySection ]  \r\n"
                                            "   ;Key = commented out\n"
                                            "  KEY   =   value with blanks  \r\n"
                                            "key=second\n"
                                            "no separator line\n"
                                            "Quoted = \"  kept inside  \"\n"
                                            "Empty =\n"
                                            "[mysection]\n"
                                            "Late = in a repeated section\n");
    EXPECT_EQ(ReadIniValue(path, "mysection", "key", "d"), "value with blanks");
    EXPECT_EQ(ReadIniValue(path, "OTHER", "Key", "d"), "other");
    EXPECT_EQ(ReadIniValue(path, "MySection", "quoted", "d"), "  kept inside  ");
    EXPECT_EQ(ReadIniValue(path, "MySection", "Empty", "d"), "");
    EXPECT_EQ(ReadIniValue(path, "MySection", "Late", "d"), "in a repeated section");
    EXPECT_EQ(ReadIniValue(path, "MySection", "; comment", "d"), "d");
    EXPECT_EQ(ReadIniValue(path, "MySection", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ReadIniValue(path, "NoSection", "Key", "dflt"), "dflt");
    EXPECT_EQ(ReadIniValue(host.PathOf("missing.ini"), "MySection", "Key", "dflt"), "dflt");
    EXPECT_EQ(ReadIniValue(path, "MySection", "", "dflt"), "dflt");
}

TEST(IniFile, ValuesAreCutAt255AndLongLinesAreSafe) {
    TestHost host;
    const std::string longValue(300, 'v');
    const std::string hugeLine(100000, 'x');
    const std::string path = host.WriteFile(
        "b.ini", "\xEF\xBB\xBF[S]\nLong=" + longValue + "\n" + hugeLine + "\nHuge=" + hugeLine +
                     "\nAfter = ok\nExact=" + std::string(255, 'e') + "\n");
    EXPECT_EQ(ReadIniValue(path, "S", "Long", ""), std::string(255, 'v'));
    EXPECT_EQ(ReadIniValue(path, "S", "After", ""), "ok");
    EXPECT_EQ(ReadIniValue(path, "S", "Huge", ""), std::string(255, 'x'));

    const IniLookup cut = LookupIniValue(path, "S", "Long");
    EXPECT_TRUE(cut.found);
    EXPECT_TRUE(cut.truncated);
    const IniLookup huge = LookupIniValue(path, "S", "Huge");
    EXPECT_TRUE(huge.truncated);
    const IniLookup exact = LookupIniValue(path, "S", "Exact");
    EXPECT_FALSE(exact.truncated);
    EXPECT_EQ(exact.value.size(), 255u);
    EXPECT_FALSE(LookupIniValue(path, "S", "Nope").found);
    EXPECT_EQ(ReadIniValue(path, "S", "Nope", std::string(400, 'd')), std::string(255, 'd'));
}

TEST(IniFile, EndlessFileIsReadOnlyUpToItsBound) {
    if (!std::filesystem::exists("/dev/zero")) GTEST_SKIP();
    EXPECT_EQ(ReadIniValue("/dev/zero", "S", "Key", "dflt"), "dflt");
}

TEST(SizeText, UnitsAndThreeRotatingBuffers) {
    EXPECT_STREQ(SizeText(0), "0 Bytes");
    EXPECT_STREQ(SizeText(8191), "8191 Bytes");
    EXPECT_STREQ(SizeText(8192), "8 KB (8192 Bytes)");
    EXPECT_STREQ(SizeText(0x7FFFFF), "8191 KB (8388607 Bytes)");
    EXPECT_STREQ(SizeText(0x800000), "8 MB (8388608 Bytes)");
    EXPECT_STREQ(SizeText(0xFFFFFFFF), "4095 MB (4294967295 Bytes)");

    const char* a = SizeText(1);
    const char* b = SizeText(2);
    const char* c = SizeText(3);
    EXPECT_STREQ(a, "1 Bytes");
    EXPECT_STREQ(b, "2 Bytes");
    EXPECT_STREQ(c, "3 Bytes");
    const char* d = SizeText(4);
    EXPECT_EQ(a, d);  // the fourth call takes the first buffer again
    EXPECT_STREQ(a, "4 Bytes");

    // Another thread has buffers of its own.
    const char* mine = SizeText(5);
    std::thread([] {
        for (int i = 0; i < 10; ++i) SizeText(99999999);
    }).join();
    EXPECT_STREQ(mine, "5 Bytes");
}

}  // namespace
}  // namespace flashwire
