// Resynchronisation: "SYNC" to the flash loader in the middle of a frame that
// lost bytes, and "sync" to a passive boot ROM whose '#' was lost.
#include "sim_rig.h"

namespace flashwire::sim_test {
namespace {

bool HasReplyTo(const std::string& bytes, const std::string& command) {
    return bytes.find("rply" + command) != std::string::npos;
}

TEST(SimResync, SyncInsideAFrameThatLostBytesIsAnsweredAtOnce) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.StartFlashLoader());
    // "OPEN" announces 20 bytes but only 10 arrive; the host's "SYNC" follows
    // without a pause: the frame is dropped, "SYNC" answered.
    Bytes frame = B("OPEN");
    Append(frame, U32(20));
    frame.resize(frame.size() + 10, 0);
    s.a.Write(frame);
    const uint64_t start = s.link.NowUs();
    s.a.Write("SYNC");
    const std::string answer = S(s.a.ReadUntil("syn!", 200));
    EXPECT_NE(answer.find("syn!"), std::string::npos);
    EXPECT_FALSE(HasReplyTo(answer, "OPEN"));
    EXPECT_LT(s.link.NowUs() - start, 5'000u);
    // A "CHKC" that lost its last byte: its end marker takes the 'S', the
    // frame is refused, and the "SYNC" still counts.
    Bytes chkc = LoaderFrame("CHKC", U32(0x12345678));
    chkc.pop_back();
    s.a.Write(chkc);
    s.a.Write("SYNC");
    const std::string both = S(s.a.ReadUntil("syn!", 200));
    EXPECT_TRUE(HasReplyTo(both, "CHKC-err")) << both;
    EXPECT_NE(both.find("syn!"), std::string::npos);
    // Commands go on as before.
    EXPECT_TRUE(s.Command("CHKC", U32(0x12345678)).ok);
}

TEST(SimResync, SyncInsideTransferDataIsData) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.StartFlashLoader());
    ASSERT_TRUE(s.Setup().ok);
    ASSERT_TRUE(s.Open(0, 0, 0x13).ok);
    Bytes data = B("SYNCSYNC");
    data.resize(64, 0x5A);
    const LoaderReply r = s.Send(0x100, data);
    ASSERT_TRUE(r.complete && r.ok) << r.errorCode();
    ASSERT_TRUE(s.Close(0).ok);
    EXPECT_EQ(s.phone().flash().Read(0x100, 64), data);
}

TEST(SimResync, PassiveRomTakesSyncWhenItsHashWasLost) {
    Session s(SmallPhone());
    s.link.clock().Sleep(40);
    for (int i = 0; i < 3; ++i) {
        s.a.Write("?");
        EXPECT_EQ(S(s.a.Read(1)), "!");
    }
    // The '#' never arrived: "info" is not a command yet.
    s.a.Write(BootFrame("info"));
    s.a.SetTimeoutMs(300);
    EXPECT_TRUE(s.a.Read(1).empty());
    s.a.Write("sync");
    EXPECT_EQ(S(s.a.ReadUntil("-()-", 1000)), "-()-");
    EXPECT_NE(S(s.BootExchange(s.a, "info")).find("respinfo+ok+"), std::string::npos);
}

TEST(SimResync, PassiveRomOutsideItsListenWindowIgnoresSync) {
    sim::PhoneConfig c = SmallPhone();
    c.passive.listenWindowUs = 100'000;
    Session s(c);
    s.link.clock().Sleep(500);
    s.a.Write("sync");
    s.a.SetTimeoutMs(300);
    EXPECT_TRUE(s.a.Read(1).empty());
}

}  // namespace
}  // namespace flashwire::sim_test
