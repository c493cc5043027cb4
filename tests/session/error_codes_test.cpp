// Error names and the error line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "session/error_codes.h"
#include "api/test_host.h"

namespace flashwire::test {
namespace {

std::string Name(uint32_t code) {
    char buffer[FLASH_ERROR_TEXT_SIZE + 8];
    std::memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(FlashGetErrorString(code, buffer), 0u);
    EXPECT_EQ(buffer[FLASH_ERROR_TEXT_SIZE], 'z');  // never past the documented size
    return buffer;
}

TEST(ErrorNames, Table) {
    EXPECT_EQ(Name(0), "SUCCESS");
    EXPECT_EQ(Name(1), "ERR_NOMEM");
    EXPECT_EQ(Name(21), "ERR_RANGE_OUTSIDE_FLASH");
    EXPECT_EQ(Name(24), "ERR_VERIFY_DIFFERENCE");
    EXPECT_EQ(Name(26), "ERR_UNKOWN_HW");
    EXPECT_EQ(Name(31), "ERR_BAD_PARAMS");
    EXPECT_EQ(Name(100), "ERR_UNKNOWN");
    EXPECT_EQ(Name(32), "Unknown error: 32");
    EXPECT_EQ(Name(99), "Unknown error: 99");
    EXPECT_EQ(Name(101), "Unknown error: 101");
    EXPECT_EQ(Name(4294967295u), "Unknown error: 4294967295");
    for (uint32_t code = 0; code <= 101; ++code) EXPECT_LT(Name(code).size(), size_t{FLASH_ERROR_TEXT_SIZE});
}

TEST(ErrorNames, NullBuffer) {
    EXPECT_EQ(FlashGetErrorString(24, nullptr), 0u);
    // The library's own buffer is per thread.
    const char* mine = ErrorName(3, nullptr);
    std::string theirs;
    const char* theirBuffer = nullptr;
    std::thread t([&] {
        theirBuffer = ErrorName(5, nullptr);
        theirs = theirBuffer;
    });
    t.join();
    EXPECT_NE(mine, theirBuffer);
    EXPECT_STREQ(mine, "ERR_ABORT");
    EXPECT_EQ(theirs, "ERR_PROTOCOL");
}

TEST(ErrorNames, ReportErrorCode) {
    FakeClock clock;
    platform::Services services{&clock, nullptr, nullptr, nullptr};
    RecordingHost host;
    FlashContext& ctx = host.Bind(services);
    ReportErrorCode(ctx, ERR_ABORT);
    ReportErrorCode(ctx, 77);
    EXPECT_EQ(host.lines, (std::vector<Line>{{0, "Error code: ERR_ABORT"}, {0, "Error code: Unknown error: 77"}}));
}

}  // namespace
}  // namespace flashwire::test
