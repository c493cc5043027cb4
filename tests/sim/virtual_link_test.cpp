// The in-process driver: virtual time, read time-outs, write timing, ports.
#include "sim_rig.h"

#include <cerrno>
#include <thread>

#include "support/forwarding_port.h"

namespace flashwire::sim_test {
namespace {

TEST(SimVirtualLink, PortsMapToUartsAndOtherNumbersFail) {
    sim::VirtualLink link(SmallPhone());
    uint32_t err = 0;
    EXPECT_FALSE(link.serial().Open(2, false, err));
    EXPECT_EQ(err, static_cast<uint32_t>(ENOENT));
    auto p0 = link.serial().Open(0, false, err);
    ASSERT_TRUE(p0);
    EXPECT_FALSE(link.serial().Open(0, false, err));
    EXPECT_EQ(err, static_cast<uint32_t>(EBUSY));
    p0.reset();
    link.MapPort(5, 1);
    EXPECT_TRUE(link.serial().Open(5, false, err));
}

TEST(SimVirtualLink, ClockSleepsInVirtualTime) {
    sim::VirtualLink link(SmallPhone());
    link.clock().Sleep(5000);
    EXPECT_EQ(link.clock().Ticks(), 5000u);
    EXPECT_EQ(link.NowUs(), 5'000'000u);
    // Another thread does not move virtual time.
    std::thread other([&] { link.clock().Sleep(1000); });
    other.join();
    EXPECT_EQ(link.NowUs(), 5'000'000u);
}

TEST(SimVirtualLink, WritesTakeTenBitTimesPerByte) {
    Session s(SmallPhone());
    const uint64_t start = s.link.NowUs();
    s.a.Write(Bytes(1152, 0));
    EXPECT_EQ(s.link.NowUs() - start, 100'000u);  // 1152 bytes at 115200
    ASSERT_TRUE(s.a.SetBaud(921600));
    const uint64_t t = s.link.NowUs();
    s.a.Write(Bytes(9216, 0));
    EXPECT_EQ(s.link.NowUs() - t, 100'000u);
    EXPECT_FALSE(s.a.SetBaud(38400));
    s.link.SetPcRates({115200});
    EXPECT_FALSE(s.a.SetBaud(921600));
}

TEST(SimVirtualLink, ReadTimeoutsAdvanceTheClock) {
    Session s(SmallPhone());
    s.link.clock().Sleep(40);
    // Nothing comes: the read ends at its deadline.
    s.a.SetTimeoutMs(250);
    uint64_t t = s.link.NowUs();
    EXPECT_TRUE(s.a.Read(4).empty());
    EXPECT_EQ(s.link.NowUs() - t, 250'000u);
    // The answer comes before the deadline: the read ends with it.
    s.a.SetTimeoutMs(5000);
    s.a.Write("?");
    t = s.link.NowUs();
    EXPECT_EQ(S(s.a.Read(1)), "!");
    EXPECT_LT(s.link.NowUs() - t, 1000u);
    // Non-blocking: what has arrived by now, and the clock does not move.
    s.a.Write("?");
    s.a.SetNonBlocking();
    t = s.link.NowUs();
    EXPECT_TRUE(s.a.Read(1).empty());
    EXPECT_EQ(s.link.NowUs(), t);
    s.link.clock().Sleep(1);
    EXPECT_EQ(S(s.a.Read(1)), "!");
}

TEST(SimVirtualLink, ReadWithoutDeadlineEndsAfterAQuietMinute) {
    Session s(SmallPhone());
    s.a.port().SetTimeouts({0, 0, 0, 0, 0});
    const uint64_t t = s.link.NowUs();
    EXPECT_TRUE(s.a.Read(1).empty());
    EXPECT_EQ(s.link.NowUs() - t, sim::kIdleReadLimitUs);
}

TEST(SimVirtualLink, BytesSentWhileThePortWasClosedAreLost) {
    sim::PhoneConfig c = SmallPhone();
    c.bootRom = sim::BootRomKind::Active;
    sim::VirtualLink link(c);
    link.clock().Sleep(1000);  // about fifty 'O' announcements go nowhere
    RawPort a(link, 0);
    a.SetNonBlocking();
    EXPECT_TRUE(a.Read(64).empty());
    a.SetTimeoutMs(100);
    EXPECT_EQ(S(a.Read(1)), "O");
}

TEST(SimVirtualLink, PowerOnLaterKeepsThePhoneQuietUntilThen) {
    sim::PhoneConfig c = SmallPhone();
    c.bootRom = sim::BootRomKind::Active;
    sim::VirtualLink link(c);
    link.PowerOnAtMs(3000);
    RawPort a(link, 0);
    a.SetTimeoutMs(10000);
    EXPECT_EQ(S(a.Read(1)), "O");
    EXPECT_GE(link.NowUs(), 3'030'000u);
}

TEST(SimVirtualLink, ConcurrentStreamsThroughWrappedPortsStartTogetherAndInterleaveByTime) {
    sim::VirtualLink link(SmallPhone());
    link.phone().EnableWireLog(true);
    uint32_t err = 0;
    test_support::ForwardingPort a(link.serial().Open(0, false, err));
    test_support::ForwardingPort b(link.serial().Open(1, false, err));
    platform::LineSettings line;
    ASSERT_TRUE(b.GetSettings(line));
    line.baud = 230400;  // twice port A's rate: each byte of A ties with one of B
    ASSERT_TRUE(b.SetSettings(line));
    link.clock().Sleep(10);
    const uint64_t start = link.NowUs();

    Bytes dataA(40), dataB(100);
    for (std::size_t i = 0; i < dataB.size(); ++i) {
        if (i < dataA.size()) dataA[i] = static_cast<uint8_t>(0x40 + i);
        dataB[i] = static_cast<uint8_t>(0x80 + i);
    }
    std::vector<platform::StreamWrite> writes(2);
    writes[0].port = &a;
    writes[0].data = dataA;
    writes[1].port = &b;
    writes[1].data = dataB;
    link.serial().WriteConcurrently(writes);
    EXPECT_TRUE(writes[0].ok && writes[1].ok);
    EXPECT_EQ(writes[0].sent, dataA.size());
    EXPECT_EQ(writes[1].sent, dataB.size());
    EXPECT_EQ(link.NowUs(), start + (100 * 10'000'000ull + 230399) / 230400);  // B's last byte

    // Both streams began at start; the phone got them in order of arrival,
    // A's byte first where two arrive together.
    Bytes gotA, gotB;
    std::vector<uint64_t> firstUs(2, 0);
    const sim::WireRecord* previous = nullptr;
    for (const sim::WireRecord& r : link.phone().wireLog()) {
        if (r.direction != sim::Direction::ToPhone) continue;
        Bytes& got = r.uart == 0 ? gotA : gotB;
        if (got.empty()) firstUs[r.uart] = r.us;
        got.push_back(r.byte);
        if (previous != nullptr) {
            EXPECT_TRUE(previous->us < r.us || (previous->us == r.us && previous->uart == 0 && r.uart == 1))
                << "at " << r.us;
        }
        previous = &r;
    }
    EXPECT_EQ(gotA, dataA);
    EXPECT_EQ(gotB, dataB);
    EXPECT_EQ(firstUs[0], start + 87);  // one byte at 115200
    EXPECT_EQ(firstUs[1], start + 44);  // one byte at 230400
}

}  // namespace
}  // namespace flashwire::sim_test
