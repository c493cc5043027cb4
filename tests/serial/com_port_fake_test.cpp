// The COM port layer against recording fake ports: write pieces, how often
// the port is touched, saved time-outs, the line configuration and failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>

#include "serial/speed_table.h"
#include "job/context.h"
#include "serial/com_port.h"
#include "serial_test_host.h"

using namespace flashwire;
using serial_test::Host;
using serial_test::Values;

namespace {

// A port that records what the layer asks of it.
struct FakePort final : platform::SerialPort {
    platform::LineSettings settings;
    platform::CommTimeouts timeouts;
    std::vector<platform::LineSettings> settingsWritten;
    std::vector<platform::CommTimeouts> timeoutsWritten;
    std::vector<std::size_t> writes;
    std::size_t reads = 0;
    bool getSettingsFails = false;
    bool setSettingsFails = false;
    bool setTimeoutsFails = false;
    int failWriteNumber = -1;       // the zero-based write that fails
    bool writeMovesNothing = false; // writes report success but move no byte
    std::deque<uint32_t> readSizes; // bytes each read delivers (then 0)
    bool endlessInput = false;      // every read delivers its full count
    bool readFails = false;
    uint32_t error = 0;

    bool GetSettings(platform::LineSettings& out) override {
        if (getSettingsFails) {
            error = EIO;
            return false;
        }
        out = settings;
        return true;
    }
    bool SetSettings(const platform::LineSettings& s) override {
        if (setSettingsFails) {
            error = EINVAL;
            return false;
        }
        settings = s;
        settingsWritten.push_back(s);
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& out) override {
        out = timeouts;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& t) override {
        timeoutsWritten.push_back(t);
        if (setTimeoutsFails) {
            error = EIO;
            return false;
        }
        timeouts = t;
        return true;
    }
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        ++reads;
        received = 0;
        if (readFails) {
            error = EIO;
            return false;
        }
        if (endlessInput) {
            received = static_cast<uint32_t>(buffer.size());
        } else if (!readSizes.empty()) {
            received = std::min<uint32_t>(readSizes.front(), static_cast<uint32_t>(buffer.size()));
            readSizes.pop_front();
        }
        return true;
    }
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        const int number = static_cast<int>(writes.size());
        writes.push_back(data.size());
        if (number == failWriteNumber) {
            sent = 0;
            error = EIO;
            return false;
        }
        sent = writeMovesNothing ? 0 : static_cast<uint32_t>(data.size());
        return true;
    }
    // The COM layer never writes in steps.
    bool BeginWrite(std::span<const uint8_t>) override {
        error = ENOTSUP;
        return false;
    }
    platform::WriteStatus PollWrite(uint32_t, uint32_t& sent) override {
        sent = 0;
        error = ENOTSUP;
        return platform::WriteStatus::Failed;
    }
    bool Drain() override { return true; }
    uint32_t LastError() const override { return error; }
};

// Hands out prepared fake ports and records the open requests.
struct FakeProvider final : platform::SerialProvider {
    std::deque<std::unique_ptr<FakePort>> ready;
    std::vector<std::pair<uint32_t, bool>> opens;
    uint32_t openError = ENOENT;

    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override {
        opens.emplace_back(portNumber, overlapped);
        if (ready.empty()) {
            systemError = openError;
            return nullptr;
        }
        auto port = std::move(ready.front());
        ready.pop_front();
        return port;
    }
};

class ComPortWithFakes : public ::testing::Test {
protected:
    void SetUp() override {
        platform::Services services = platform::SystemServices();
        services.serial = &provider;
        ctx = serial_test::MakeContext(host, services);
    }
    // Installs a fake port in a record as if ComOpen had opened it.
    FakePort& Install(uint32_t port) {
        auto fake = std::make_unique<FakePort>();
        FakePort& ref = *fake;
        ctx->ports[port].handle = std::move(fake);
        return ref;
    }
    FakePort& Prepare() {
        provider.ready.push_back(std::make_unique<FakePort>());
        return *provider.ready.back();
    }
    FakeProvider provider;
    Host host;
    std::unique_ptr<flashwire::FlashContext> ctx;
};

}  // namespace

TEST_F(ComPortWithFakes, PlainWritesGoOutInPiecesOfAtMost4096Bytes) {
    FakePort& port = Install(0);
    std::vector<uint8_t> data(10000, 0x5A);
    uint32_t sent = 0;
    EXPECT_TRUE(ComWrite(*ctx, 0, data.data(), 10000, sent));
    EXPECT_EQ(sent, 10000u);
    EXPECT_EQ(port.writes, (std::vector<std::size_t>{4096, 4096, 1808}));

    port.writes.clear();
    EXPECT_TRUE(ComWrite(*ctx, 0, data.data(), 4096, sent));
    EXPECT_EQ(port.writes, (std::vector<std::size_t>{4096}));

    port.writes.clear();
    EXPECT_TRUE(ComWrite(*ctx, 0, data.data(), 0, sent));
    EXPECT_EQ(sent, 0u);
    EXPECT_TRUE(port.writes.empty());

    // Overlapped writes are one request.
    ctx->overlappedIo = true;
    EXPECT_TRUE(ComWrite(*ctx, 0, data.data(), 10000, sent));
    EXPECT_EQ(port.writes, (std::vector<std::size_t>{10000}));
    EXPECT_EQ(sent, 10000u);
}

TEST_F(ComPortWithFakes, FailedPieceEndsTheWrite) {
    FakePort& port = Install(0);
    port.failWriteNumber = 1;
    std::vector<uint8_t> data(10000);
    uint32_t sent = 0;
    EXPECT_FALSE(ComWrite(*ctx, 0, data.data(), 10000, sent));
    EXPECT_EQ(sent, 4096u);
    EXPECT_EQ(port.writes.size(), 2u);

    // A port that claims success but moves nothing does not loop for ever.
    FakePort& stuck = Install(1);
    stuck.writeMovesNothing = true;
    EXPECT_FALSE(ComWrite(*ctx, 1, data.data(), 10000, sent));
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(stuck.writes.size(), 1u);

    // Null buffers and closed ports are refused.
    EXPECT_FALSE(ComWrite(*ctx, 0, nullptr, 5, sent));
    ComClose(*ctx, 0);
    EXPECT_FALSE(ComWrite(*ctx, 0, data.data(), 5, sent));
    EXPECT_TRUE(host.lines.empty());
}

TEST_F(ComPortWithFakes, UnchangedTimeoutDoesNotTouchThePort) {
    FakePort& port = Install(0);
    EXPECT_EQ(ComSetTimeout(*ctx, 0, 1000), 0u);
    EXPECT_EQ(ComSetTimeout(*ctx, 0, 1000), 1000u);
    ASSERT_EQ(port.timeoutsWritten.size(), 1u);
    EXPECT_EQ(Values(port.timeoutsWritten[0]), (std::array<uint32_t, 5>{0, 0, 1000, 0, 0}));

    EXPECT_EQ(ComSetTimeout(*ctx, 0, 3000), 1000u);
    EXPECT_EQ(port.timeoutsWritten.size(), 2u);
    EXPECT_EQ(ctx->ports[0].readTimeout, 3000u);
    EXPECT_TRUE(host.lines.empty());
}

TEST_F(ComPortWithFakes, FailedTimeoutIsReportedAndRememberedAllTheSame) {
    FakePort& port = Install(1);
    port.setTimeoutsFails = true;
    EXPECT_EQ(ComSetTimeout(*ctx, 1, 1000), 0u);
    EXPECT_EQ(ctx->ports[1].readTimeout, 1000u);
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0].level, 2);
    EXPECT_EQ(host.lines[0].text, "Error: ComSetTimout FAILED (1000, " + std::to_string(EIO) + ")");
}

TEST_F(ComPortWithFakes, NonBlockingModeRestoresTheSettingsSavedOnEntry) {
    FakePort& port = Install(0);
    ComSetTimeout(*ctx, 0, 1000);

    ComSetNonBlocking(*ctx, 0, true);
    EXPECT_TRUE(ctx->ports[0].nonBlocking);
    EXPECT_EQ(Values(port.timeouts), (std::array<uint32_t, 5>{0xFFFFFFFFu, 0, 0, 0, 0}));

    // A new time-out while the mode is on replaces the settings on the port;
    // entering the mode again saves nothing new.
    ComSetTimeout(*ctx, 0, 500);
    EXPECT_EQ(port.timeouts.readTotalConstant, 500u);
    const std::size_t touches = port.timeoutsWritten.size();
    ComSetNonBlocking(*ctx, 0, true);
    EXPECT_EQ(port.timeoutsWritten.size(), touches);

    ComSetNonBlocking(*ctx, 0, false);
    EXPECT_FALSE(ctx->ports[0].nonBlocking);
    EXPECT_EQ(Values(port.timeouts), (std::array<uint32_t, 5>{0, 0, 1000, 0, 0}));
    EXPECT_EQ(ctx->ports[0].readTimeout, 500u);

    // Leaving again does nothing.
    const std::size_t after = port.timeoutsWritten.size();
    ComSetNonBlocking(*ctx, 0, false);
    EXPECT_EQ(port.timeoutsWritten.size(), after);
}

TEST_F(ComPortWithFakes, BaudRateRewritesTheWholeLineConfiguration) {
    FakePort& port = Install(0);
    port.settings.baud = 9600;
    port.settings.dataBits = 7;
    port.settings.parity = platform::Parity::Even;
    port.settings.stopBits = platform::StopBits::Two;
    port.settings.dtr = false;
    port.settings.rts = false;
    port.settings.ctsFlow = true;
    port.settings.dsrFlow = true;
    port.settings.xonXoff = true;

    for (uint32_t baud : SpeedTable) {
        ASSERT_TRUE(ComSetBaudRate(*ctx, 0, baud));
        EXPECT_EQ(ctx->ports[0].pcBaud, baud);
    }
    ASSERT_EQ(port.settingsWritten.size(), 5u);
    const platform::LineSettings& s = port.settingsWritten.front();
    EXPECT_EQ(s.baud, 57600u);
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.parity, platform::Parity::None);
    EXPECT_EQ(s.stopBits, platform::StopBits::One);
    EXPECT_TRUE(s.dtr);
    EXPECT_TRUE(s.rts);
    EXPECT_FALSE(s.ctsFlow);
    EXPECT_FALSE(s.dsrFlow);
    EXPECT_FALSE(s.xonXoff);

    for (uint32_t baud : {0u, 9600u, 38400u, 115201u}) EXPECT_FALSE(ComSetBaudRate(*ctx, 0, baud));
    EXPECT_EQ(port.settingsWritten.size(), 5u);
    EXPECT_EQ(ctx->ports[0].pcBaud, 921600u);

    // A refused configuration leaves pcBaud as it was, without a message.
    port.setSettingsFails = true;
    EXPECT_FALSE(ComSetBaudRate(*ctx, 0, 115200));
    EXPECT_EQ(ctx->ports[0].pcBaud, 921600u);
    EXPECT_TRUE(host.lines.empty());

    port.getSettingsFails = true;
    EXPECT_FALSE(ComSetBaudRate(*ctx, 0, 115200));
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0].level, 2);
    EXPECT_EQ(host.lines[0].text, "Error: GetCommState FAILED (" + std::to_string(EIO) + ")");
}

TEST_F(ComPortWithFakes, ClosedPortConfigurationCannotBeRead) {
    // As with a configuration the system cannot read: level-2 message, false.
    EXPECT_FALSE(ComSetBaudRate(*ctx, 1, 115200));
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0].level, 2);
    EXPECT_EQ(host.lines[0].text, "Error: GetCommState FAILED (" + std::to_string(EBADF) + ")");
    EXPECT_EQ(ctx->ports[1].pcBaud, 0u);
}

TEST_F(ComPortWithFakes, OpenAsksTheProviderAndSetsUpTheNewPort) {
    FakePort& first = Prepare();
    ctx->overlappedIo = true;
    ASSERT_TRUE(ComOpen(*ctx, 1, 11, 115200, 1000));
    ASSERT_EQ(provider.opens.size(), 1u);
    EXPECT_EQ(provider.opens[0], std::make_pair(11u, true));
    EXPECT_EQ(ctx->ports[1].handle.get(), &first);
    EXPECT_EQ(first.settings.baud, 115200u);
    EXPECT_EQ(first.timeouts.readTotalConstant, 1000u);
    EXPECT_EQ(ctx->ports[1].readTimeout, 1000u);

    // Opening again with the time-out the record already holds still sets it
    // on the new device, and the new port does not inherit the old mode.
    ComSetNonBlocking(*ctx, 1, true);
    FakePort& second = Prepare();
    ctx->overlappedIo = false;
    ASSERT_TRUE(ComOpen(*ctx, 1, 11, 115200, 1000));
    EXPECT_EQ(provider.opens[1], std::make_pair(11u, false));
    EXPECT_EQ(second.timeoutsWritten.size(), 1u);
    EXPECT_EQ(second.timeouts.readTotalConstant, 1000u);
    EXPECT_FALSE(ctx->ports[1].nonBlocking);
    EXPECT_TRUE(host.lines.empty());

    // A configuration the port refuses: level-1 message, port left open.
    FakePort& third = Prepare();
    third.setSettingsFails = true;
    EXPECT_FALSE(ComOpen(*ctx, 0, 1, 230400, 1000));
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0].level, 1);
    EXPECT_EQ(host.lines[0].text, "Error: Could not set COM2 at 230400 Baud (" + std::to_string(EINVAL) + ")");
    EXPECT_EQ(ctx->ports[0].handle.get(), &third);

    // The provider's error code goes into the open failure.
    provider.openError = 13;
    EXPECT_FALSE(ComOpen(*ctx, 0, 4, 57600, 1000));
    EXPECT_EQ(host.lines.back().text, "Error: Could not open COM5 at 57600 Baud (13)");
    EXPECT_EQ(host.lines.back().level, 2);
    EXPECT_EQ(ctx->ports[0].handle.get(), &third);  // left as it was

    // Port numbers of 12 and above never reach the provider.
    const std::size_t opens = provider.opens.size();
    EXPECT_FALSE(ComOpen(*ctx, 0, 12, 115200, 1000));
    EXPECT_EQ(provider.opens.size(), opens);
}

TEST_F(ComPortWithFakes, FlushReadsOneByteAtATimeUntilNothingComes) {
    FakePort& port = Install(0);
    port.readSizes = {1, 1, 1};
    EXPECT_TRUE(ComFlushInput(*ctx, 0));
    EXPECT_EQ(port.reads, 4u);

    // The result is that of the last read.
    port.readFails = true;
    EXPECT_FALSE(ComFlushInput(*ctx, 0));

    // A line that never goes quiet: the flush gives up after its limit.
    port.readFails = false;
    port.endlessInput = true;
    port.reads = 0;
    EXPECT_TRUE(ComFlushInput(*ctx, 0));
    EXPECT_EQ(port.reads, kComFlushLimit);

    // An abort request ends it too.
    port.reads = 0;
    ctx->abortRequested = true;
    ComFlushInput(*ctx, 0);
    EXPECT_EQ(port.reads, 1u);
}

TEST_F(ComPortWithFakes, LogicalIndexOutOfRangeTouchesNothing) {
    Install(0);
    Install(1);
    uint8_t buf[4]{};
    uint32_t n = 7;
    EXPECT_FALSE(ComRead(*ctx, 2, buf, 4, n));
    EXPECT_EQ(n, 0u);
    n = 7;
    EXPECT_FALSE(ComWrite(*ctx, 0xFFFFFFFFu, buf, 4, n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ComSetBaudRate(*ctx, 2, 115200));
    EXPECT_EQ(ComSetTimeout(*ctx, 2, 1000), 0u);
    ComSetNonBlocking(*ctx, 2, true);
    EXPECT_FALSE(ComFlushInput(*ctx, 5));
    ComClose(*ctx, 2);
    ctx->activePort = 2;
    EXPECT_EQ(SendFinishByte(*ctx), static_cast<uint32_t>(ERR_PROTOCOL));
    EXPECT_NE(ctx->ports[0].handle, nullptr);
    EXPECT_NE(ctx->ports[1].handle, nullptr);

    // The finish byte goes to the active port only.
    ctx->activePort = 1;
    EXPECT_EQ(SendFinishByte(*ctx), SUCCESS);
    auto* active = static_cast<FakePort*>(ctx->ports[1].handle.get());
    auto* other = static_cast<FakePort*>(ctx->ports[0].handle.get());
    EXPECT_EQ(active->writes, (std::vector<std::size_t>{1}));
    EXPECT_TRUE(other->writes.empty());
    EXPECT_TRUE(host.lines.empty());
}
