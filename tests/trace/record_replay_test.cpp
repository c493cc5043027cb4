// A whole flash job recorded against the simulated phone and run again
// against its trace on the virtual clock (sim/replay/replay_link.h): the same
// result and the same traffic; a host with one image byte changed is stopped
// at the first byte it writes otherwise.
#include <gtest/gtest.h>

#include "flashops/job_rig.h"
#include "sim/replay/replay_link.h"
#include "sim/replay/trace_file.h"
#include "trace/wire_trace.h"

namespace flashwire {
namespace {

class StringFile final : public platform::OutputFile {
public:
    explicit StringFile(std::string& text) : text_(text) {}
    bool Write(std::span<const uint8_t> data) override {
        text_.append(reinterpret_cast<const char*>(data.data()), data.size());
        return true;
    }
    uint32_t LastError() const override { return 0; }

private:
    std::string& text_;
};

const char* const kJob = "/com=1,2 /maxspeed=921600,460800 /mode=flash /diff=0 /file=";

std::vector<sim::TraceEvent> Parse(const std::string& text) {
    std::vector<sim::TraceEvent> events;
    std::string error;
    EXPECT_TRUE(sim::ParseTraceText(text, events, error)) << error;
    return events;
}

// A port's traffic as the replay sees it: opens, closes, rates and data in
// order, consecutive data of one direction merged, a repeated ping once.
std::vector<std::pair<std::string, std::vector<uint8_t>>> Traffic(const std::vector<sim::TraceEvent>& events,
                                                                  uint32_t port) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    std::vector<uint8_t> lastPing;
    for (const sim::TraceEvent& e : events) {
        if (e.port != port) continue;
        std::string kind;
        switch (e.kind) {
            case sim::TraceEventKind::Open: kind = "open " + e.text; break;
            case sim::TraceEventKind::Close: kind = "close"; break;
            case sim::TraceEventKind::Rate: kind = "rate " + e.text; break;
            case sim::TraceEventKind::Write: kind = "write"; break;
            case sim::TraceEventKind::Read: kind = "read"; break;
            default: continue;
        }
        if (e.kind == sim::TraceEventKind::Write && e.bytes.size() == 1) {
            if (e.bytes == lastPing) continue;
            lastPing = e.bytes;
        } else if (e.kind == sim::TraceEventKind::Write) {
            lastPing.clear();
        }
        const bool data = e.kind == sim::TraceEventKind::Write || e.kind == sim::TraceEventKind::Read;
        if (data && !out.empty() && out.back().first == kind) {
            out.back().second.insert(out.back().second.end(), e.bytes.begin(), e.bytes.end());
        } else {
            out.emplace_back(kind, data ? e.bytes : std::vector<uint8_t>{});
        }
    }
    return out;
}

// The bytes written on the port before offset, a repeated ping once.
std::vector<uint8_t> WrittenBefore(const std::vector<sim::TraceEvent>& events, uint32_t port, uint64_t offset) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> lastPing;
    uint64_t at = 0;
    for (const auto& e : events) {
        if (e.port != port || e.kind != sim::TraceEventKind::Write) continue;
        const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(e.bytes.size(), offset - at));
        at += take;
        const bool repeated = e.bytes.size() == 1 && e.bytes == lastPing;
        lastPing = e.bytes.size() == 1 ? e.bytes : std::vector<uint8_t>{};
        if (!repeated) out.insert(out.end(), e.bytes.begin(), e.bytes.begin() + static_cast<std::ptrdiff_t>(take));
        if (at == offset) break;
    }
    return out;
}

std::vector<uint8_t> Written(const std::vector<sim::TraceEvent>& events, uint32_t port) {
    std::vector<uint8_t> out;
    for (const auto& e : events)
        if (e.port == port && e.kind == sim::TraceEventKind::Write) out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    return out;
}

// Runs the job of rig against the trace; returns its result and the host's new trace.
uint32_t RunAgainstTrace(job_test::JobRig& rig, sim::ReplayLink& link, const std::string& image, std::string& trace) {
    rig.ctx().services.clock = &link;
    rig.ctx().services.serial = &link;
    rig.ctx().trace = std::make_shared<WireTrace>(std::make_unique<StringFile>(trace), link, "replayed");
    EXPECT_TRUE(rig.Options(kJob + image));
    return rig.Run();
}

TEST(RecordReplay, FlashJobAgainstItsTraceAndAHostThatDiverges) {
    const job_test::Image image = {{0x10000, job_test::Pattern(0x6000, 5)}};
    std::string recorded;
    {
        job_test::JobRig rig("demo-passive");
        rig.ctx().trace =
            std::make_shared<WireTrace>(std::make_unique<StringFile>(recorded), rig.rig->link.clock(), "recorded");
        ASSERT_TRUE(rig.Options(kJob + rig.WriteImage(image)));
        ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    }
    const std::vector<sim::TraceEvent> events = Parse(recorded);

    // The same job against the trace: same result, same traffic.
    {
        job_test::JobRig rig("demo-passive");
        sim::ReplayLink link(events);
        std::string replayed;
        ASSERT_EQ(RunAgainstTrace(rig, link, rig.WriteImage(image), replayed), SUCCESS) << rig.Transcript();
        EXPECT_TRUE(link.replay().finished());
        EXPECT_FALSE(link.replay().divergence());
        const std::vector<sim::TraceEvent> again = Parse(replayed);
        for (uint32_t port = 0; port < 2; ++port) EXPECT_EQ(Traffic(again, port), Traffic(events, port)) << port;
    }

    // One image byte changed: stopped at the first byte written otherwise.
    {
        job_test::JobRig rig("demo-passive");
        sim::ReplayLink link(events);
        job_test::Image changed = image;
        changed[0x10000][0x123] ^= 0xFF;
        std::string diverged;
        EXPECT_NE(RunAgainstTrace(rig, link, rig.WriteImage(changed), diverged), SUCCESS);
        ASSERT_TRUE(link.replay().divergence());
        const sim::ReplayDivergence d = *link.replay().divergence();
        const std::vector<uint8_t> host = Written(Parse(diverged), d.port);
        const std::vector<uint8_t> trace = Written(events, d.port);
        ASSERT_LT(d.offset, host.size());
        ASSERT_LT(d.traceOffset, trace.size());
        EXPECT_EQ(host[d.offset], d.got);
        EXPECT_EQ(trace[d.traceOffset], d.expected);
        EXPECT_NE(d.got, d.expected);
        EXPECT_GT(d.traceLine, 0u);
        // Up to there the host wrote what the trace holds (pings aside).
        EXPECT_EQ(WrittenBefore(Parse(diverged), d.port, d.offset), WrittenBefore(events, d.port, d.traceOffset))
            << d.Describe();
    }
}

}  // namespace
}  // namespace flashwire
