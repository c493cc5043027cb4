// The phone under the host's own polling loops: the UART probe in
// non-blocking mode, a probe that keeps failing, and the active boot ROM's
// handshake with a host that read a stale announcement.
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

// The host's handshake with the active boot ROM (read time-out 500 ms, then
// 1000 ms): 'O' leads to the rate pattern, 'K' to "rr", any other byte back
// to waiting for 'O'. Returns true once "rr" went out.
bool ActiveHandshake(Session& s, int maxPasses) {
    s.a.SetTimeoutMs(500);
    int state = 1;
    for (int pass = 0; pass < maxPasses; ++pass) {
        if (state == 1) {
            const Bytes b = s.a.Read(1);
            if (b.size() != 1 || b[0] != 'O') continue;
            state = 2;
        }
        s.a.Write(std::string(10, 'r'));
        s.a.SetTimeoutMs(1000);
        const Bytes b = s.a.Read(1);
        if (b.empty()) continue;
        if (b[0] != 'K') {
            state = 1;
            continue;
        }
        s.a.Write("rr");
        return true;
    }
    return false;
}

TEST(SimHostLoops, ActiveRomAnnouncesAgainWhenTheHostTookAStaleAnnouncement) {
    sim::PhoneConfig c = SmallPhone();
    c.bootRom = sim::BootRomKind::Active;
    Session s(c);
    // The host starts reading late: several announcements are waiting. It
    // answers the first, reads the second where it expects 'K' and goes back
    // to waiting for 'O' while the ROM has stopped announcing.
    s.link.clock().Sleep(100);
    ASSERT_TRUE(ActiveHandshake(s, 50));
    const Bytes rest = s.a.ReadUntil("R", 3000);
    EXPECT_NE(S(rest).find("ZER"), std::string::npos) << S(rest);
    // The ROM waited its confirmation time-out, not for ever.
    EXPECT_LT(s.link.NowUs(), 30'000u + 100'000u + c.active.confirmTimeoutUs + 200'000u);
}

TEST(SimHostLoops, ActiveRomWaitsForAHostThatResendsThePatternAfterSilence) {
    sim::PhoneConfig c = SmallPhone();
    c.bootRom = sim::BootRomKind::Active;
    Session s(c);
    s.phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "K" && r.occurrence == 0) bytes.clear();
    });
    ASSERT_TRUE(ActiveHandshake(s, 10));
    EXPECT_EQ(S(s.a.Read(3)), "ZER");
    // No announcement came between the lost 'K' and the second pattern.
    std::size_t patterns = 0;
    for (const sim::CommandRecord& r : s.phone().commandLog()) patterns += r.token == "rate";
    EXPECT_EQ(patterns, 2u);
}

}  // namespace
}  // namespace flashwire::sim_test
