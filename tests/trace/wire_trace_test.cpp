// The wire trace: its lines on a clock of the test's own, a whole flash job
// traced and checked against what the simulated phone received and sent,
// FlashSetTraceFile's results, and a trace file that stops taking writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "flashops/job_rig.h"
#include "sim/replay/trace_file.h"
#include "support/temp_dir.h"
#include "trace/wire_trace.h"

namespace flashwire {
namespace {

// A trace file in memory that may refuse writes from a given one on.
class MemoryFile final : public platform::OutputFile {
public:
    MemoryFile(std::string& text, int writesAccepted = -1) : text_(text), left_(writesAccepted) {}
    bool Write(std::span<const uint8_t> data) override {
        if (left_ == 0) return false;
        if (left_ > 0) --left_;
        text_.append(reinterpret_cast<const char*>(data.data()), data.size());
        return true;
    }
    uint32_t LastError() const override { return left_ == 0 ? 28u : 0u; }  // ENOSPC

private:
    std::string& text_;
    int left_;
};

class StepClock final : public platform::Clock {
public:
    uint32_t Ticks() override { return static_cast<uint32_t>(us / 1000); }
    void Sleep(uint32_t ms) override { us += ms * 1000u; }
    uint64_t Microseconds() override { return us; }
    uint64_t us = 5'000'000;  // the trace counts from its own start
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') out.push_back(line);
    return out;
}

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(WireTrace, LinesOfEveryEvent) {
    std::string text;
    StepClock clock;
    {
        WireTrace trace(std::make_unique<MemoryFile>(text), clock, "mem");
        trace.Opened(0, "COM1", "/dev/ttyUSB0");
        clock.us += 12;
        trace.Settings(0, platform::LineSettings{}, true);
        platform::LineSettings odd;
        odd.baud = 38400;
        trace.Settings(1, odd, false);
        trace.Timeouts(0, {0, 0, 1000, 0, 0});
        trace.Timeouts(0, {0xFFFFFFFFu, 0, 0, 0, 0});
        trace.Timeouts(0, {0, 0, 0, 0, 0});
        trace.Timeouts(0, {5, 1, 2, 3, 4});
        clock.us += 1'000'000;
        trace.Data(0, TraceDirection::Write, Bytes("sync"));
        trace.Data(0, TraceDirection::Write, Bytes("0123456789abcdefXY"));
        trace.Data(0, TraceDirection::Read, Bytes("O"));
        clock.us += 400;  // joins the read line
        trace.Data(0, TraceDirection::Read, Bytes("K\n"));
        clock.us += 2000;  // too late to join
        trace.Data(0, TraceDirection::Read, Bytes("!"));
        trace.TimedOut(0, 4, 1, 250);
        trace.Failed(1, "write", 3, 10, 5);
        trace.Closed(0);
    }
    const std::vector<std::string> expected = {
        "0.000000 p0 open COM1 /dev/ttyUSB0",
        "0.000012 p0 rate 115200 8N1",
        "0.000012 p1 rate 38400 8N1 refused",
        "0.000012 p0 read-timeout 1000 ms",
        "0.000012 p0 read-timeout non-blocking",
        "0.000012 p0 read-timeout none",
        "0.000012 p0 timeouts 5 1 2 3 4",
        "1.000012 p0 write 73 79 6e 63                                      |sync|",
        "1.000012 p0 write 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|",
        "1.000012 p0 write 58 59                                            |XY|",
        "1.000012 p0 read  4f 4b 0a                                         |OK.|",
        "1.002412 p0 read  21                                               |!|",
        "1.002412 p0 timeout 1 of 4 bytes in 250 ms",
    };
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GE(lines.size(), expected.size() + 2) << text;
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
    EXPECT_EQ(lines[expected.size()].rfind("1.002412 p1 write-failed 3 of 10 bytes, error 5 (", 0), 0u);
    EXPECT_EQ(lines[expected.size() + 1], "1.002412 p0 close");
    EXPECT_EQ(text.rfind(kTraceHeader, 0), 0u);

    // The reader takes back what the writer wrote.
    std::vector<sim::TraceEvent> events;
    std::string error;
    ASSERT_TRUE(sim::ParseTraceText(text, events, error)) << error;
    ASSERT_EQ(events.size(), expected.size() + 2);
    EXPECT_EQ(events[8].bytes, Bytes("0123456789abcdef"));
    EXPECT_EQ(events[10].kind, sim::TraceEventKind::Read);
    EXPECT_EQ(events[10].bytes, Bytes("OK\n"));
    EXPECT_EQ(events[10].us, 1'000'012u);
    EXPECT_EQ(events[12].kind, sim::TraceEventKind::Timeout);
}

TEST(WireTrace, BufferIsBoundedAndAFailedFileStopsTheTraceOnce) {
    std::string text;
    StepClock clock;
    WireTrace trace(std::make_unique<MemoryFile>(text, 2), clock, "mem", 1024);
    for (int i = 0; i < 20; ++i) trace.Data(0, TraceDirection::Write, Bytes("0123456789abcdef"));
    // The buffer went out when full: the file holds lines before the end.
    EXPECT_GT(text.size(), 0u);
    EXPECT_LE(text.size(), 1024u);
    for (int i = 0; i < 200; ++i) trace.Data(0, TraceDirection::Write, Bytes("0123456789abcdef"));
    EXPECT_FALSE(trace.Flush());
    EXPECT_TRUE(trace.failed());
    EXPECT_EQ(trace.error(), 28u);
    EXPECT_TRUE(trace.TakeFailureReport());
    EXPECT_FALSE(trace.TakeFailureReport());
    EXPECT_LE(text.size(), 2048u);
}

// The job's bytes per direction of one port, from the trace.
std::vector<uint8_t> Stream(const std::vector<sim::TraceEvent>& events, uint32_t port, sim::TraceEventKind kind) {
    std::vector<uint8_t> out;
    for (const auto& e : events)
        if (e.port == port && e.kind == kind) out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    return out;
}

TEST(WireTrace, WholeFlashJobOnTwoPortsMatchesThePhonesLine) {
    job_test::JobRig rig("demo-passive");
    std::string text;
    rig.ctx().trace = std::make_shared<WireTrace>(std::make_unique<MemoryFile>(text), rig.rig->link.clock(), "mem");
    rig.phone().EnableWireLog(true);
    const job_test::Image image = {{0x10000, job_test::Pattern(0x12345, 7)}};
    ASSERT_TRUE(rig.Options("/com=1,2 /maxspeed=921600,460800 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    ASSERT_TRUE(rig.PhoneHolds(image));

    // The last port closed at the job's end: the whole trace is in the file.
    std::vector<sim::TraceEvent> events;
    std::string error;
    ASSERT_TRUE(sim::ParseTraceText(text, events, error)) << error;
    for (uint32_t port = 0; port < 2; ++port) {
        std::vector<uint8_t> toPhone;
        std::vector<uint8_t> toHost;
        for (const sim::WireRecord& r : rig.phone().wireLog()) {
            if (r.uart != port) continue;
            (r.direction == sim::Direction::ToPhone ? toPhone : toHost).push_back(r.byte);
        }
        SCOPED_TRACE("port " + std::to_string(port));
        EXPECT_EQ(Stream(events, port, sim::TraceEventKind::Write), toPhone);
        // The host read what the phone sent, in order (it may leave the last bytes unread).
        const std::vector<uint8_t> read = Stream(events, port, sim::TraceEventKind::Read);
        ASSERT_LE(read.size(), toHost.size());
        EXPECT_TRUE(std::equal(read.begin(), read.end(), toHost.begin()));
        EXPECT_GT(read.size(), 0u);
        int opens = 0, closes = 0, rates921 = 0;
        for (const auto& e : events) {
            if (e.port != port) continue;
            opens += e.kind == sim::TraceEventKind::Open;
            closes += e.kind == sim::TraceEventKind::Close;
            rates921 += e.kind == sim::TraceEventKind::Rate && e.text.rfind(port == 0 ? "921600" : "460800", 0) == 0;
        }
        EXPECT_EQ(opens, 1);
        EXPECT_EQ(closes, 1);
        EXPECT_GE(rates921, 2);  // the rate probe and the raise
    }
    EXPECT_EQ(events.front().text, "COM1");
    EXPECT_EQ(events.back().kind, sim::TraceEventKind::Close);
}

TEST(FlashSetTraceFile, ResultsAndTheFileItWrites) {
    const std::string dir = test_support::MakeTempDir("flashwire-trace-");
    FlashHandle handle{};
    handle.size = sizeof(FlashHandle);
    FlashOptions options{};
    const std::string path = dir + "/wire.txt";
    EXPECT_EQ(FlashSetTraceFile(&handle, path.c_str()), uint32_t{ERR_BAD_PARAMS});  // not bound
    ASSERT_EQ(FlashInit(&handle, &options), SUCCESS);
    EXPECT_EQ(FlashSetTraceFile(nullptr, path.c_str()), uint32_t{ERR_BAD_PARAMS});
    EXPECT_EQ(FlashSetTraceFile(&handle, ""), uint32_t{ERR_BAD_PARAMS});
    EXPECT_EQ(FlashSetTraceFile(&handle, std::string(300, 'x').c_str()), uint32_t{ERR_BAD_PARAMS});
    EXPECT_EQ(FlashSetTraceFile(&handle, dir.c_str()), uint32_t{ERR_FILEIO});  // a directory
    EXPECT_EQ(FlashSetTraceFile(&handle, (dir + "/missing/wire.txt").c_str()), uint32_t{ERR_FILEIO});
    EXPECT_EQ(FlashSetTraceFile(&handle, path.c_str()), SUCCESS);
    EXPECT_EQ(FlashSetTraceFile(&handle, nullptr), SUCCESS);  // ends it: the header is in the file
    std::ifstream in(path);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, kTraceHeader);
    EXPECT_EQ(FlashSetTraceFile(&handle, nullptr), SUCCESS);  // no trace: nothing to end
    EXPECT_EQ(FlashFinish(&handle), SUCCESS);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace flashwire
