// The flash loader's commands on the NOR flash.
#include "sim_rig.h"

#include "sim/uart_line.h"

namespace flashwire::sim_test {
namespace {

class SimFlashLoader : public ::testing::Test {
protected:
    void SetUp() override {
        session = std::make_unique<Session>(config);
        ASSERT_TRUE(session->StartFlashLoader());
    }
    void Restart(const sim::PhoneConfig& c) {
        session = std::make_unique<Session>(c);
        ASSERT_TRUE(session->StartFlashLoader());
    }
    Session& s() { return *session; }
    sim::PhoneConfig config = SmallPhone();
    std::unique_ptr<Session> session;
};

Bytes Pattern(std::size_t n, uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

TEST_F(SimFlashLoader, UartProbeAndSyncOnBothUarts) {
    RawPort b(s().link, 1);
    s().a.Write("*");
    EXPECT_EQ(S(s().a.Read(2)), "#A");
    b.Write("*");
    EXPECT_EQ(S(b.Read(2)), "#B");
    b.Write("SYNC");
    EXPECT_EQ(S(b.ReadUntil("syn!")), "syn!");
}

TEST_F(SimFlashLoader, WritesASectorWholly) {
    ASSERT_TRUE(s().Setup().ok);
    const Bytes data = Pattern(8192, 3);
    ASSERT_TRUE(s().Open(0, 1, 0x11).ok);
    LoaderReply r = s().Send(0x2000, Bytes(data.begin(), data.begin() + 4096));
    ASSERT_TRUE(r.complete && r.ok);
    ASSERT_TRUE(s().Send(0x3000, Bytes(data.begin() + 4096, data.end())).ok);
    EXPECT_EQ(s().phone().flash().Read(0x2000, 8192), Bytes(8192, 0xFF));  // nothing written before "CLOS"
    r = s().Close(1);
    ASSERT_TRUE(r.ok) << r.errorCode();
    EXPECT_EQ(s().phone().flash().Read(0x2000, 8192), data);
    EXPECT_EQ(s().phone().flash().eraseCount(0, 1), 1u);
    // "VRFY" returns the CRC of the flash, "SUCK" its bytes.
    r = s().Command("VRFY", Words({0x2000, 8192}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.word(0), sim::Crc32(data));
    r = s().Command("SUCK", Words({0x2000, 0x1000}));
    ASSERT_TRUE(r.ok && r.crcOk);
    EXPECT_EQ(r.payload, Bytes(data.begin(), data.begin() + 0x1000));
    EXPECT_TRUE(s().Command("DONE").ok);
}

TEST_F(SimFlashLoader, PartialSectorKeepsTheBytesNotSentWithFlag02) {
    const Bytes old = Pattern(8192, 77);
    s().phone().flash().Store(0x4000, old);
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 2, 0x13).ok);
    ASSERT_TRUE(s().Send(0x4800, Bytes(256, 0x00)).ok);
    ASSERT_TRUE(s().Close(2).ok);
    Bytes expected = old;
    std::fill(expected.begin() + 0x800, expected.begin() + 0x900, 0x00);
    EXPECT_EQ(s().phone().flash().Read(0x4000, 8192), expected);
    // Without 0x02 the bytes not sent become erased.
    ASSERT_TRUE(s().Open(0, 2, 0x11).ok);
    ASSERT_TRUE(s().Send(0x4000, Bytes(16, 0x12)).ok);
    ASSERT_TRUE(s().Close(2).ok);
    Bytes erased(8192, 0xFF);
    std::fill(erased.begin(), erased.begin() + 16, 0x12);
    EXPECT_EQ(s().phone().flash().Read(0x4000, 8192), erased);
}

TEST_F(SimFlashLoader, ExtraProtectionNeedsAnEraseBeforeClose) {
    s().phone().flash().Store(0, Pattern(8192, 5));
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 0, 0x08).ok);
    ASSERT_TRUE(s().Send(0, Pattern(8192, 9)).ok);
    LoaderReply r = s().Close(0);
    ASSERT_TRUE(r.complete);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.errorCode(), sim::kErrNotErased);
    EXPECT_EQ(s().phone().flash().Read(0, 8192), Pattern(8192, 5));  // untouched
    r = s().Command("ERAS", Words({0, 0, 8192}));
    ASSERT_TRUE(r.ok);
    ASSERT_TRUE(s().Close(0).ok);
    EXPECT_EQ(s().phone().flash().Read(0, 8192), Pattern(8192, 9));
    EXPECT_EQ(s().phone().flash().eraseCount(0, 0), 1u);
}

TEST_F(SimFlashLoader, EraseAndProgramTakeTheirTime) {
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 8, 0x11).ok);  // a 64 KiB sector
    ASSERT_TRUE(s().Send(0x10000, Bytes(0x10000, 0x00)).ok);
    const uint64_t before = s().link.NowUs();
    ASSERT_TRUE(s().Close(8).ok);
    const uint64_t took = s().link.NowUs() - before;
    // 100 ms + 64 * 6.25 ms erase, 65536 * 10 us programming.
    EXPECT_GE(took, 500'000u + 655'360u);
    EXPECT_LT(took, 1'300'000u);
}

TEST_F(SimFlashLoader, DataOutsideTheOpenSectorOrWithoutOpenIsRefused) {
    ASSERT_TRUE(s().Setup().ok);
    LoaderReply r = s().Send(0x2000, Bytes(16, 1));
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.errorCode(), sim::kErrNoSectorOpen);
    ASSERT_TRUE(s().Open(0, 1, 0x11).ok);
    r = s().Send(0x3FF8, Bytes(16, 1));  // runs over the sector's end
    EXPECT_EQ(r.errorCode(), sim::kErrOutsideSector);
    EXPECT_EQ(r.word(1), 0x3FF8u);
    EXPECT_EQ(r.word(3), 0x2000u);
    EXPECT_EQ(r.word(4), 0x2000u);
    // A sector that does not exist, and a mismatching address.
    EXPECT_EQ(s().Command("OPEN", Words({0 << 16 | 99, 0, 0x2000, 0x11, 0xFF})).errorCode(), sim::kErrBadSector);
    EXPECT_EQ(s().Command("OPEN", Words({0 << 16 | 2, 0x2000, 0x2000, 0x11, 0xFF})).errorCode(), sim::kErrBadSector);
    // Another sector while one is open.
    EXPECT_EQ(s().Open(0, 3, 0x11).errorCode(), sim::kErrSectorStillOpen);
    // "CLOS" of another sector.
    EXPECT_EQ(s().Close(5).errorCode(), sim::kErrBadSector);
}

TEST_F(SimFlashLoader, OpenBeforeSetupAndWrongChipsAreRefused) {
    EXPECT_EQ(s().Open(0, 1, 0x11).errorCode(), sim::kErrNotSetUp);
    Bytes p = U32(1);
    Append(p, Words({0x9999, 0x42u << 24}));
    Append(p, Bytes(24, 0));
    const LoaderReply r = s().Command("SETP", p);
    EXPECT_EQ(r.errorCode(), sim::kErrChipMismatch);
    const LoaderReply ok = s().Setup();
    ASSERT_TRUE(ok.ok);
    EXPECT_EQ(ok.payload.size(), 4u);
    EXPECT_EQ(ok.word(0), 1u);
    EXPECT_EQ(s().Command("OPEN", Bytes(8, 0)).errorCode(), sim::kErrBadLength);
}

TEST_F(SimFlashLoader, RepeatedCloseAfterALostAnswerSucceeds) {
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 1, 0x11).ok);
    ASSERT_TRUE(s().Send(0x2000, Bytes(8192, 0x42)).ok);
    ASSERT_TRUE(s().Close(1).ok);
    EXPECT_TRUE(s().Close(1).ok);
    EXPECT_EQ(s().Close(2).errorCode(), sim::kErrNoSectorOpen);
    EXPECT_EQ(s().phone().flash().eraseCount(0, 1), 1u);
}

TEST_F(SimFlashLoader, WornCellFailsTheVerificationAfterClose) {
    config.faults.stuckBits.push_back({0x2010, 0x01});
    Restart(config);
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 1, 0x11).ok);
    ASSERT_TRUE(s().Send(0x2000, Bytes(8192, 0xA5)).ok);
    const LoaderReply r = s().Close(1);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.errorCode(), sim::kErrVerifyFailed);
    EXPECT_EQ(r.word(1), 0x2010u);
    EXPECT_EQ(r.word(2), 0xA5u);
    EXPECT_EQ(r.word(3), 0xA4u);
}

TEST_F(SimFlashLoader, VerifyAndReadOutsideFlashOrTooLongAreRefused) {
    EXPECT_EQ(s().Command("VRFY", Words({0xFFFF0, 0x20})).errorCode(), sim::kErrOutsideFlash);
    EXPECT_EQ(s().Command("SUCK", Words({0, 0x2001})).errorCode(), sim::kErrTooLong);
    EXPECT_EQ(s().Command("SUCK", Words({0x100000, 16})).errorCode(), sim::kErrOutsideFlash);
    EXPECT_EQ(s().Command("VRFY", Words({0, 0})).word(0), 1u);  // CRC of nothing
}

// A "TXDT" frame for data at address in two streams: the first `first` bytes
// on UART A, the rest on UART B.
Bytes TwoStreamFrame(uint32_t address, const Bytes& data, uint32_t first) {
    const Bytes s0(data.begin(), data.begin() + first), s1(data.begin() + first, data.end());
    const auto size = static_cast<uint32_t>(data.size());
    Bytes p = Words({address, size, 1, 2});
    Append(p, Words({0, 0, first, sim::Crc32(s0)}));
    Append(p, Words({1, first, size - first, sim::Crc32(s1)}));
    return LoaderFrame("TXDT", p);
}

// Writes each port's bytes, all starting now.
void WriteAtOnce(Session& s, RawPort& b, const Bytes& onA, const Bytes& onB) {
    std::vector<platform::StreamWrite> writes(2);
    writes[0].port = &s.a.port();
    writes[0].data = onA;
    writes[1].port = &b.port();
    writes[1].data = onB;
    s.link.serial().WriteConcurrently(writes);
    EXPECT_TRUE(writes[0].ok && writes[1].ok);
    EXPECT_EQ(writes[0].sent + writes[1].sent, onA.size() + onB.size());
}

TEST_F(SimFlashLoader, TransferOverTwoUarts) {
    RawPort b(s().link, 1);
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 8, 0x11).ok);
    const Bytes data = Pattern(0x10000, 1);
    const uint32_t first = 43253;
    s().a.Write(TwoStreamFrame(0x10000, data, first));
    WriteAtOnce(s(), b, Bytes(data.begin(), data.begin() + first), Bytes(data.begin() + first, data.end()));
    const LoaderReply r = ParseLoaderReply(s().a.ReadUntil("eom.", 20000));
    ASSERT_TRUE(r.ok) << r.errorCode();
    ASSERT_TRUE(s().Close(8).ok);
    EXPECT_EQ(s().phone().flash().Read(0x10000, 0x10000), data);
    EXPECT_EQ(s().phone().bytesFromHost(1), 0x10000u - first);
}

// Stream 1 starts on UART B together with the frame on UART A: its first
// bytes arrive while the frame does and are kept for the stream.
TEST_F(SimFlashLoader, StreamBytesThatArriveWithTheirFrameCount) {
    RawPort b(s().link, 1);
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 1, 0x11).ok);
    const Bytes data = Pattern(8192, 5);
    const uint32_t first = 5461;
    Bytes onA = TwoStreamFrame(0x2000, data, first);
    Append(onA, Bytes(data.begin(), data.begin() + first));
    WriteAtOnce(s(), b, onA, Bytes(data.begin() + first, data.end()));
    const LoaderReply r = ParseLoaderReply(s().a.ReadUntil("eom.", 20000));
    ASSERT_TRUE(r.ok) << r.errorCode() << " stream " << r.word(1) << ": " << r.word(3) << " of " << r.word(2);
    ASSERT_TRUE(s().Close(1).ok);
    EXPECT_EQ(s().phone().flash().Read(0x2000, 8192), data);
}

Bytes Halfway(const Bytes& b) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2)); }

// Bytes kept on UART B while a "TXDT" frame arrived on UART A are read as
// commands once the frame is over, when it names no stream there.
TEST_F(SimFlashLoader, HeldBytesAreCommandsWhenTheFrameNamesNoStreamThere) {
    Bytes onlyA = Words({0x2000, 16, 1, 1});
    Append(onlyA, Words({0, 0, 16, sim::Crc32(Bytes(16, 3))}));
    Append(onlyA, Words({0, 0, 0, 0}));
    Bytes badTable = onlyA;
    badTable[12] = 3;  // three streams
    struct Case {
        const char* what;
        Bytes onA;
        std::string onB, answerB;
        uint64_t notBeforeUs;  // B's command is read once the frame is over
    };
    const Case cases[] = {
        {"one stream, on A", LoaderFrame("TXDT", onlyA), "SYNC", "syn!", 5'500},
        {"refused stream table", LoaderFrame("TXDT", badTable), "*", "#B", 5'500},
        {"frame that stops halfway", Halfway(LoaderFrame("TXDT", onlyA)), "*", "#B", 500'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart(config);
        RawPort b(s().link, 1);
        const uint64_t start = s().link.NowUs();
        WriteAtOnce(s(), b, c.onA, B(c.onB));
        EXPECT_EQ(S(b.ReadUntil(c.answerB)), c.answerB);
        const auto& log = s().phone().commandLog();
        const auto onB = std::find_if(log.begin(), log.end(), [](const sim::CommandRecord& r) { return r.uart == 1; });
        ASSERT_NE(onB, log.end());
        EXPECT_GE(onB->us - start, c.notBeforeUs);
    }
}

// A UART keeps at most kHeldBytesLimit bytes; the rest are lost and logged.
TEST_F(SimFlashLoader, HeldBytesAreBounded) {
    RawPort b(s().link, 1);
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 8, 0x11).ok);
    const Bytes data = Pattern(5000, 9);
    const Bytes frame = TwoStreamFrame(0x10000, data, 0);
    s().a.Write(Bytes(frame.begin(), frame.begin() + 20));
    b.Write(data);  // 434 ms: the frame is not yet dropped
    s().a.Write(Bytes(frame.begin() + 20, frame.end()));
    const LoaderReply r = ParseLoaderReply(s().a.ReadUntil("eom.", 20000));
    EXPECT_EQ(r.errorCode(), sim::kErrStreamTimeout);
    EXPECT_EQ(r.word(3), sim::kHeldBytesLimit);
    const auto& log = s().phone().faultLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const sim::FaultRecord& f) {
                  return f.kind == sim::FaultKind::InputOverflow && f.uart == 1;
              }), 1);
}

TEST_F(SimFlashLoader, StreamWithBadCrcOrMissingBytesFails) {
    ASSERT_TRUE(s().Setup().ok);
    ASSERT_TRUE(s().Open(0, 1, 0x11).ok);
    Bytes p = Words({0x2000, 64, 1, 1});
    Append(p, Words({0, 0, 64, 0xDEADBEEF}));
    Append(p, Words({0, 0, 0, 0}));
    Bytes frame = LoaderFrame("TXDT", p);
    Append(frame, Bytes(64, 7));
    s().a.Write(frame);
    LoaderReply r = ParseLoaderReply(s().a.ReadUntil("eom."));
    EXPECT_EQ(r.errorCode(), sim::kErrStreamCrc);
    EXPECT_EQ(r.word(3), 0xDEADBEEFu);
    // Half the stream: the loader gives up after a quiet second.
    p = Words({0x2000, 64, 1, 1});
    Append(p, Words({0, 0, 64, sim::Crc32(Bytes(64, 7))}));
    Append(p, Words({0, 0, 0, 0}));
    frame = LoaderFrame("TXDT", p);
    Append(frame, Bytes(32, 7));
    const uint64_t sent = s().link.NowUs();
    s().a.Write(frame);
    r = ParseLoaderReply(s().a.ReadUntil("eom.", 20000));
    EXPECT_EQ(r.errorCode(), sim::kErrStreamTimeout);
    EXPECT_EQ(r.word(3), 32u);
    EXPECT_GE(s().link.NowUs() - sent, 1'000'000u);
    // The loader listens for commands again.
    s().a.Write("SYNC");
    EXPECT_EQ(S(s().a.ReadUntil("syn!")), "syn!");
}

TEST_F(SimFlashLoader, BaudSwitchesAfterItsAnswerAndMismatchGarbles) {
    const LoaderReply r = s().Command("BAUD", Words({0, 921600}));
    ASSERT_TRUE(r.complete && r.ok);  // the answer still comes at 115200
    EXPECT_EQ(s().phone().uartBaud(0), 921600u);
    EXPECT_EQ(s().phone().uartBaud(1), 115200u);
    // The PC still at 115200: the phone reads garbage and its answers are garbled.
    s().a.Write("SYNC");
    s().a.SetTimeoutMs(200);
    EXPECT_NE(S(s().a.Read(4)), "syn!");
    bool logged = false;
    for (const auto& f : s().phone().faultLog()) logged |= f.kind == sim::FaultKind::RateMismatch;
    EXPECT_TRUE(logged);
    ASSERT_TRUE(s().a.SetBaud(921600));
    s().link.clock().Sleep(750);
    s().a.Write("SYNC");
    EXPECT_EQ(S(s().a.ReadUntil("syn!")), "syn!");
    EXPECT_EQ(s().Command("BAUD", Words({0, 38400})).errorCode(), sim::kErrBadBaudRate);
    EXPECT_EQ(s().Command("BAUD", Words({2, 921600})).errorCode(), sim::kErrBadUart);
}

TEST(SimGarble, MatchingRatesPassAndDifferentRatesGarbleDeterministically) {
    EXPECT_EQ(sim::GarbleByte('S', 115200, 115200), 'S');
    const uint8_t g = sim::GarbleByte('S', 115200, 921600);
    EXPECT_NE(g, 'S');
    EXPECT_EQ(sim::GarbleByte('S', 115200, 921600), g);
    EXPECT_NE(sim::GarbleByte('r', 921600, 115200), 'r');
}

TEST_F(SimFlashLoader, TextMessagesAndDumpsWhenEnabled) {
    config.flashLoader.textMessages = true;
    config.flashLoader.memoryDumps = true;
    Restart(config);
    ASSERT_TRUE(s().Setup().ok);
    LoaderReply r = s().Open(0, 1, 0x11);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_NE(S(r.records[0]).find("Opening sector 0/1"), std::string::npos);
    ASSERT_TRUE(s().Send(0x2000, Bytes(8192, 0x41)).ok);
    r = s().Close(1);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(S(Bytes(r.records[1].begin(), r.records[1].begin() + 4)), "*dmp");
    EXPECT_EQ(sim::GetU32(r.records[1], 4), 0x2000u);
    EXPECT_EQ(sim::GetU32(r.records[1], 12), 64u);
}

}  // namespace
}  // namespace flashwire::sim_test
