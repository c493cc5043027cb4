// The 4CC scanner against a scripted line: bytes arrive at given
// milliseconds of a fake clock, and every read waits as its time-out says.
#include "wire/code_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "job/context.h"
#include "serial/com_port.h"
#include "wire/four_cc.h"

namespace flashwire {
namespace {

class FakeClock final : public platform::Clock {
public:
    uint32_t Ticks() override { return now; }
    void Sleep(uint32_t ms) override { now += ms; }
    uint32_t now = 0;
};

// Bytes the phone sends, each with the time it arrives.
struct Script {
    std::deque<std::pair<uint32_t, uint8_t>> bytes;
    std::vector<uint32_t> readTimeouts;  // the read time-out of every read request
    platform::CommTimeouts timeouts;
};

class ScriptedPort final : public platform::SerialPort {
public:
    ScriptedPort(FakeClock& clock, Script& script) : clock_(clock), script_(script) {}
    bool GetSettings(platform::LineSettings& out) override {
        out = settings_;
        return true;
    }
    bool SetSettings(const platform::LineSettings& settings) override {
        settings_ = settings;
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& out) override {
        out = script_.timeouts;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        script_.timeouts = timeouts;
        return true;
    }
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        received = 0;
        const uint32_t timeout = script_.timeouts.readTotalConstant;
        script_.readTimeouts.push_back(timeout);
        const uint32_t end = clock_.now + timeout;
        while (received < buffer.size() && !script_.bytes.empty() && script_.bytes.front().first <= end) {
            clock_.now = std::max(clock_.now, script_.bytes.front().first);
            buffer[received++] = script_.bytes.front().second;
            script_.bytes.pop_front();
        }
        if (received < buffer.size()) clock_.now = end;
        return true;
    }
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        sent = static_cast<uint32_t>(data.size());
        return true;
    }
    // The scanner never writes in steps.
    bool BeginWrite(std::span<const uint8_t>) override { return false; }
    platform::WriteStatus PollWrite(uint32_t, uint32_t& sent) override {
        sent = 0;
        return platform::WriteStatus::Failed;
    }
    bool Drain() override { return true; }
    uint32_t LastError() const override { return 0; }

private:
    FakeClock& clock_;
    Script& script_;
    platform::LineSettings settings_;
};

class ScriptedSerial final : public platform::SerialProvider {
public:
    ScriptedSerial(FakeClock& clock, Script& script) : clock_(clock), script_(script) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t, bool, uint32_t&) override {
        return std::make_unique<ScriptedPort>(clock_, script_);
    }

private:
    FakeClock& clock_;
    Script& script_;
};

struct Lines {
    FlashHandle handle{};
    std::vector<std::string> texts;
};

class Scanner : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.services.clock = &clock;
        ctx.services.serial = &serial;
        lines.handle.size = sizeof(FlashHandle);
        lines.handle.message = [](FlashHandle* h, int32_t, const char* text) -> int32_t {
            reinterpret_cast<Lines*>(h)->texts.emplace_back(text);
            return 0;
        };
        ctx.handle = &lines.handle;
        ctx.debug = true;
        ctx.activePort = 0;
        ASSERT_TRUE(ComOpen(ctx, 0, 0, 115200, 1000));
        lines.texts.clear();
        script.readTimeouts.clear();
    }
    void Send(uint32_t atMs, const std::string& text) {
        for (char c : text) script.bytes.emplace_back(atMs, static_cast<uint8_t>(c));
    }
    bool HasLine(const std::string& text) const {
        return std::find(lines.texts.begin(), lines.texts.end(), text) != lines.texts.end();
    }

    FakeClock clock;
    Script script;
    ScriptedSerial serial{clock, script};
    Lines lines;
    FlashContext ctx;
};

TEST_F(Scanner, FindsACodeBehindStrayBytesWithShortReadsAndRestoresTheTimeOut) {
    Send(3, "xxrerespyy");
    ASSERT_EQ(ScanFor4CC(ctx, FourCC("resp"), 100), SUCCESS);
    // Left right after the code's last byte: the bytes behind it stay on the line.
    EXPECT_EQ(script.bytes.size(), 2u);
    ASSERT_FALSE(script.readTimeouts.empty());
    for (uint32_t t : script.readTimeouts) EXPECT_EQ(t, 5u);
    EXPECT_EQ(ctx.ports[0].readTimeout, 1000u);
    EXPECT_EQ(script.timeouts.readTotalConstant, 1000u);
    EXPECT_TRUE(lines.texts.empty());
}

TEST_F(Scanner, EachCallStartsWithAnEmptyWindow) {
    Send(0, "re");
    EXPECT_EQ(ScanFor4CC(ctx, FourCC("resp"), 20), static_cast<uint32_t>(ERR_TIMEOUT));
    // "sp" completes "resp" only together with bytes of the earlier call.
    Send(clock.now, "sp");
    EXPECT_EQ(ScanFor4CC(ctx, FourCC("resp"), 20), static_cast<uint32_t>(ERR_TIMEOUT));
    Send(clock.now, "resp");
    EXPECT_EQ(ScanFor4CC(ctx, FourCC("resp"), 20), SUCCESS);
}

TEST_F(Scanner, TimesOutOnlyWhenTheTickCountIsAboveTheDeadline) {
    clock.now = 0xFFFFFFF0u;  // the deadline lies beyond the tick count's wrap
    const uint32_t start = clock.now;
    EXPECT_EQ(ScanFor4CC(ctx, FourCC("resp"), 20), static_cast<uint32_t>(ERR_TIMEOUT));
    // Reads of 5 ms: at 20 ms the tick count equals the deadline, at 25 it is above.
    EXPECT_EQ(clock.now - start, 25u);
    EXPECT_EQ(ctx.ports[0].readTimeout, 1000u);
    EXPECT_TRUE(HasLine("WaitFor4CCs failed: ERR_TIMEOUT (6)"));
    EXPECT_TRUE(HasLine("0x70736572 = resp"));
}

TEST_F(Scanner, ReportsWhichOfSeveralCodesCameAndListsThemAllOnATimeOut) {
    const uint32_t codes[2] = {FourCC("+ok+"), FourCC("nack")};
    uint32_t found = 0;
    Send(1, "-nack");
    ASSERT_EQ(ScanFor4CCs(ctx, codes, 50, found), SUCCESS);
    EXPECT_EQ(found, FourCC("nack"));

    EXPECT_EQ(ScanFor4CCs(ctx, codes, 10, found), static_cast<uint32_t>(ERR_TIMEOUT));
    EXPECT_EQ(lines.texts, (std::vector<std::string>{"WaitFor4CCs failed: ERR_TIMEOUT (6)", "0x2b6b6f2b = +ok+",
                                                     "0x6b63616e = nack"}));
}

TEST_F(Scanner, AbortEndsTheWaitWithoutFailureLines) {
    ctx.abortRequested = true;
    EXPECT_EQ(ScanFor4CC(ctx, FourCC("resp"), 5000), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_EQ(clock.now, 5u);  // one read
    EXPECT_TRUE(lines.texts.empty());
    EXPECT_EQ(ctx.ports[0].readTimeout, 1000u);
}

}  // namespace
}  // namespace flashwire
