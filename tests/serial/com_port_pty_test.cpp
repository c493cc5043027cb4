// The COM port layer against the system's serial ports, on pseudo-terminals
// mapped to port numbers with FlashMapPort.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "job/context.h"
#include "serial/com_port.h"
#include "serial_test_support.h"

using namespace flashwire;
using namespace std::chrono_literals;
using serial_test::ElapsedMs;
using serial_test::kLateMs;
using serial_test::Host;
using serial_test::MappedPort;
using serial_test::Pattern;
using serial_test::PtyPair;
using serial_test::Values;

namespace {

class ComPortOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ctx = serial_test::MakeContext(host, platform::SystemServices());
    }
    PtyPair pty;
    Host host;
    std::unique_ptr<flashwire::FlashContext> ctx;
};

}  // namespace

TEST(ComPortNames, NamesByZeroBasedNumber) {
    EXPECT_STREQ(ComPortName(0), "COM1");
    EXPECT_STREQ(ComPortName(9), "COM10");
    EXPECT_STREQ(ComPortName(11), "COM12");
    EXPECT_STREQ(ComPortName(12), "COM?");
    EXPECT_STREQ(ComPortName(0xFFFFFFFFu), "COM?");
    EXPECT_STREQ(ComPortNames[11], "COM12");
    EXPECT_EQ(sizeof ComPortNames[0], 6u);
}

TEST_F(ComPortOnPty, OpenSetsRateRawModeAndTimeout) {
    MappedPort map(0, pty.slavePath());
    ASSERT_TRUE(ComOpen(*ctx, 0, 0, 115200, 1000));
    EXPECT_TRUE(host.lines.empty());
    ASSERT_NE(ctx->ports[0].handle, nullptr);
    EXPECT_EQ(ctx->ports[0].pcBaud, 115200u);
    EXPECT_EQ(ctx->ports[0].readTimeout, 1000u);
    platform::CommTimeouts t;
    ASSERT_TRUE(ctx->ports[0].handle->GetTimeouts(t));
    EXPECT_EQ(Values(t), (std::array<uint32_t, 5>{0, 0, 1000, 0, 0}));

    termios tio = pty.Settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CRTSCTS | PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

    // 38400 is not one of the five rates: false, no message, nothing changed.
    EXPECT_FALSE(ComSetBaudRate(*ctx, 0, 38400));
    EXPECT_TRUE(host.lines.empty());
    EXPECT_EQ(ctx->ports[0].pcBaud, 115200u);
    tio = pty.Settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));

    EXPECT_TRUE(ComSetBaudRate(*ctx, 0, 921600));
    EXPECT_EQ(ctx->ports[0].pcBaud, 921600u);
    tio = pty.Settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B921600));

    // Bytes in both directions, binary and untranslated.
    const std::vector<uint8_t> out{'\r', '\n', 0x00, 0x11, 0x13, 0xFF, 0x03};
    uint32_t sent = 0;
    EXPECT_TRUE(ComWrite(*ctx, 0, out.data(), static_cast<uint32_t>(out.size()), sent));
    EXPECT_EQ(sent, out.size());
    EXPECT_EQ(pty.Receive(out.size(), 1000), out);
    ASSERT_TRUE(pty.Send(out));
    uint8_t in[7]{};
    uint32_t received = 0;
    EXPECT_TRUE(ComRead(*ctx, 0, in, 7, received));
    EXPECT_EQ(received, 7u);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 7), out);

    EXPECT_EQ(SendFinishByte(*ctx), SUCCESS);
    EXPECT_EQ(pty.Receive(1, 1000), std::vector<uint8_t>{'o'});

    ComCloseAll(*ctx);
    EXPECT_EQ(ctx->ports[0].handle, nullptr);
    EXPECT_EQ(SendFinishByte(*ctx), static_cast<uint32_t>(ERR_PROTOCOL));
    ComClose(*ctx, 0);  // already closed: nothing happens
    EXPECT_EQ(ctx->ports[0].handle, nullptr);
    EXPECT_FALSE(ComRead(*ctx, 0, in, 1, received));
    EXPECT_EQ(received, 0u);
}

TEST_F(ComPortOnPty, OpenFailureNamesThePortAndTheSystemError) {
    {
        MappedPort map(0, "/nonexistent/flashwire-tty");
        EXPECT_FALSE(ComOpen(*ctx, 0, 0, 115200, 1000));
    }
    {
        MappedPort map(11, "/nonexistent/flashwire-tty");
        EXPECT_FALSE(ComOpen(*ctx, 1, 11, 57600, 1000));
    }
    // A port number outside COM1..COM12 and a logical index beyond the two
    // records are refused without touching anything.
    EXPECT_FALSE(ComOpen(*ctx, 0, 12, 115200, 1000));
    {
        MappedPort map(0, pty.slavePath());
        EXPECT_FALSE(ComOpen(*ctx, 2, 0, 115200, 1000));
    }
    ASSERT_EQ(host.lines.size(), 4u);
    EXPECT_EQ(host.lines[0].level, 2);
    EXPECT_EQ(host.lines[0].text, "Error: Could not open COM1 at 115200 Baud (2)");
    EXPECT_EQ(host.lines[1].text, "Error: Could not open COM12 at 57600 Baud (2)");
    EXPECT_EQ(host.lines[2].text, "Error: Could not open COM? at 115200 Baud (" + std::to_string(EINVAL) + ")");
    EXPECT_EQ(host.lines[3].text, "Error: Could not open COM1 at 115200 Baud (" + std::to_string(EINVAL) + ")");
    EXPECT_EQ(ctx->ports[0].handle, nullptr);
    EXPECT_EQ(ctx->ports[1].handle, nullptr);
}

TEST_F(ComPortOnPty, OpenWithARateTheLayerRefusesKeepsThePortOpen) {
    MappedPort map(1, pty.slavePath());
    EXPECT_FALSE(ComOpen(*ctx, 1, 1, 38400, 1000));
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0].level, 1);
    EXPECT_EQ(host.lines[0].text.rfind("Error: Could not set COM2 at 38400 Baud (", 0), 0u);
    EXPECT_NE(ctx->ports[1].handle, nullptr);  // the job's ComCloseAll closes it
    ctx->portCount = 0;                        // even when the count was never set
    ComCloseAll(*ctx);
    EXPECT_EQ(ctx->ports[1].handle, nullptr);
}

TEST_F(ComPortOnPty, NonBlockingFlushDiscardsStaleInputAtOnce) {
    MappedPort map(0, pty.slavePath());
    ASSERT_TRUE(ComOpen(*ctx, 0, 0, 115200, 1000));
    ASSERT_TRUE(pty.Send(Pattern(300, 9)));
    std::this_thread::sleep_for(20ms);

    auto start = std::chrono::steady_clock::now();
    ComSetNonBlocking(*ctx, 0, true);
    EXPECT_TRUE(ComFlushInput(*ctx, 0));
    ComSetNonBlocking(*ctx, 0, false);
    EXPECT_LT(ElapsedMs(start), 500);  // at once, not after the 1000 ms time-out
    EXPECT_EQ(ctx->ports[0].readTimeout, 1000u);
    platform::CommTimeouts t;
    ASSERT_TRUE(ctx->ports[0].handle->GetTimeouts(t));
    EXPECT_EQ(Values(t), (std::array<uint32_t, 5>{0, 0, 1000, 0, 0}));

    // Nothing stale is left; new bytes are read with the 1000 ms time-out.
    std::thread sender([&] {
        std::this_thread::sleep_for(30ms);
        pty.Send({0x42, 0x43});
    });
    uint8_t buf[2]{};
    uint32_t received = 0;
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ComRead(*ctx, 0, buf, 2, received));
    sender.join();
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(buf[0], 0x42);
    EXPECT_LT(ElapsedMs(start), 900);  // with the bytes, before the 1000 ms time-out

    // Without the non-blocking mode the flush ends after a quiet interval.
    ComSetTimeout(*ctx, 0, 100);
    ASSERT_TRUE(pty.Send({1, 2, 3}));
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ComFlushInput(*ctx, 0));
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 80);
    EXPECT_LE(ms, 100 + kLateMs);
    ComCloseAll(*ctx);
}
