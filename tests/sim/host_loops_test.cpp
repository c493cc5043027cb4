// The phone under the host's own polling loops: the UART probe in
// non-blocking mode and a probe that keeps failing.
#include "sim_rig.h"

namespace flashwire::sim_test {
namespace {

// The host's UART probe: non-blocking reads; write '*', read one byte, and
// after '#' read one more, until 'A'/'B' or limitMs have passed.
std::optional<char> Probe(Session& s, RawPort& port, uint32_t limitMs = 5000) {
    port.SetNonBlocking();
    const uint64_t start = s.link.NowUs();
    std::optional<char> uart;
    while (!uart && s.link.NowUs() - start < limitMs * 1000ull) {
        port.Write("*");
        const Bytes b = port.Read(1);
        if (b.size() != 1 || b[0] != '#') continue;
        const Bytes c = port.Read(1);
        if (c.size() == 1 && (c[0] == 'A' || c[0] == 'B')) uart = static_cast<char>(c[0]);
    }
    port.SetTimeoutMs(10);
    return uart;
}

TEST(SimHostLoops, NonBlockingProbeFindsTheUartRepeatedlyOnBothPorts) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.StartFlashLoader());
    RawPort b(s.link, 1);
    for (int round = 0; round < 3; ++round) {
        const uint64_t start = s.link.NowUs();
        EXPECT_EQ(Probe(s, s.a), 'A') << round;
        EXPECT_LT(s.link.NowUs() - start, 5'000u) << "a probe answer is two bytes read together";
        EXPECT_EQ(Probe(s, b), 'B') << round;
        // What the probe leaves behind does not hide the next answer.
        s.a.Write("SYNC");
        EXPECT_NE(S(s.a.ReadUntil("syn!", 100)).find("syn!"), std::string::npos) << round;
    }
}

TEST(SimHostLoops, ProbeAnswersDoNotPileUpBehindAnUnreadableLine) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.StartFlashLoader());
    // For one second every answer reaches the host unreadable.
    s.phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "#A") bytes = {'?', '?'};
    });
    EXPECT_FALSE(Probe(s, s.a, 1000).has_value());
    s.phone().SetReplyFilter(nullptr);
    // At most one answer was in flight: "syn!" follows within a few ms.
    const uint64_t start = s.link.NowUs();
    s.a.Write("SYNC");
    EXPECT_NE(S(s.a.ReadUntil("syn!", 5000)).find("syn!"), std::string::npos);
    EXPECT_LT(s.link.NowUs() - start, 5'000u);
    EXPECT_EQ(Probe(s, s.a), 'A');
}

}  // namespace
}  // namespace flashwire::sim_test
