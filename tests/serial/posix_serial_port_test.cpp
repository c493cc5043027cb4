// The system's serial ports on pseudo-terminals: device mapping, line
// settings, read time-outs, bounded writes, writes in steps, draining and
// concurrent stream writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "platform/posix/posix_serial_port.h"
#include "platform/posix/posix_services.h"
#include "serial_test_support.h"
#include "support/forwarding_port.h"

using namespace flashwire::platform;
using namespace std::chrono_literals;
using serial_test::ElapsedMs;
using serial_test::kLateMs;
using serial_test::MappedPort;
using serial_test::Pattern;
using serial_test::PtyPair;
using serial_test::PtyPort;

TEST(SerialDeviceMap, DefaultsMappingAndLimits) {
    EXPECT_EQ(posix::SerialDevicePath(0), "/dev/ttyS0");
    EXPECT_EQ(posix::SerialDevicePath(11), "/dev/ttyS11");
    EXPECT_EQ(FlashMapPort(3, "/dev/ttyUSB0"), SUCCESS);
    EXPECT_EQ(posix::SerialDevicePath(3), "/dev/ttyUSB0");
    EXPECT_EQ(FlashMapPort(3, nullptr), SUCCESS);
    EXPECT_EQ(posix::SerialDevicePath(3), "/dev/ttyS3");

    EXPECT_EQ(FlashMapPort(11, "/dev/x"), SUCCESS);
    EXPECT_EQ(FlashMapPort(11, nullptr), SUCCESS);
    EXPECT_EQ(FlashMapPort(12, "/dev/x"), ERR_BAD_PARAMS);
    EXPECT_EQ(FlashMapPort(0xFFFFFFFFu, nullptr), ERR_BAD_PARAMS);
    EXPECT_EQ(FlashMapPort(2, ""), ERR_BAD_PARAMS);

    const std::string longest(255, 'a');
    const std::string tooLong(256, 'a');
    EXPECT_EQ(FlashMapPort(2, tooLong.c_str()), ERR_BAD_PARAMS);
    EXPECT_EQ(posix::SerialDevicePath(2), "/dev/ttyS2");  // unchanged by the refusal
    EXPECT_EQ(FlashMapPort(2, longest.c_str()), SUCCESS);
    EXPECT_EQ(posix::SerialDevicePath(2), longest);
    EXPECT_EQ(FlashMapPort(2, nullptr), SUCCESS);
}

TEST(PosixSerialOpen, RefusesWhatIsNoTerminal) {
    uint32_t error = 0;
    EXPECT_EQ(posix::PosixSerialPorts().Open(12, false, error), nullptr);
    EXPECT_EQ(error, static_cast<uint32_t>(ENODEV));

    {
        MappedPort map(5, "/nonexistent/tty");
        EXPECT_EQ(posix::PosixSerialPorts().Open(5, false, error), nullptr);
        EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
    }
    char file[] = "/tmp/flashwire-serial-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        MappedPort map(5, file);
        EXPECT_EQ(posix::PosixSerialPorts().Open(5, false, error), nullptr);
        EXPECT_EQ(error, static_cast<uint32_t>(ENOTTY));
    }
    unlink(file);
}

TEST(PosixSerialSettings, RawEightBitsNoFlowControlAtEveryAcceptedRate) {
    PtyPort p(4, 57600);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;

    const std::pair<uint32_t, speed_t> rates[] = {
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& [baud, code] : rates) {
        ASSERT_TRUE(port->SetSettings(LineSettings{.baud = baud})) << baud;
        const termios t = pty.Settings();
        EXPECT_EQ(cfgetospeed(&t), code) << baud;
        EXPECT_EQ(cfgetispeed(&t), code) << baud;
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

        LineSettings back;
        ASSERT_TRUE(port->GetSettings(back));
        EXPECT_EQ(back.baud, baud);
        EXPECT_EQ(back.dataBits, 8);
        EXPECT_EQ(back.parity, Parity::None);
        EXPECT_EQ(back.stopBits, StopBits::One);
        EXPECT_FALSE(back.ctsFlow);
        EXPECT_FALSE(back.xonXoff);
        EXPECT_TRUE(back.dtr);
        EXPECT_TRUE(back.rts);
    }

    // Other rates, and settings termios cannot express, are refused and
    // leave the line as it was.
    for (uint32_t baud : {0u, 9600u, 38400u, 1000000u}) {
        EXPECT_FALSE(port->SetSettings(LineSettings{.baud = baud})) << baud;
        EXPECT_EQ(port->LastError(), static_cast<uint32_t>(EINVAL));
        const termios t = pty.Settings();
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B921600));
    }
    LineSettings dsr{.baud = 115200};
    dsr.dsrFlow = true;
    EXPECT_FALSE(port->SetSettings(dsr));
    const termios t = pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B921600));
}

TEST(PosixSerialRead, TotalTimeoutIsHonoured) {
    PtyPort p(4, 115200);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 200, 0, 0}));

    // Nothing arrives: the read ends after its time-out with no bytes.
    uint8_t buf[16];
    uint32_t received = 99;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(buf, received));
    long ms = ElapsedMs(start);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(ms, 150);
    EXPECT_LE(ms, 200 + kLateMs);

    // Some bytes arrive, not all: they are returned when the time-out ends.
    ASSERT_TRUE(pty.Send({1, 2, 3}));
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(buf, received));
    ms = ElapsedMs(start);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(buf[2], 3);
    EXPECT_GE(ms, 150);
    EXPECT_LE(ms, 200 + kLateMs);

    // The whole count arrives early: the read returns as soon as it is there.
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 2000, 0, 0}));
    std::thread sender([&] {
        std::this_thread::sleep_for(30ms);
        pty.Send({10, 11, 12, 13, 14, 15, 16, 17});
        std::this_thread::sleep_for(30ms);
        pty.Send({18, 19, 20, 21, 22, 23, 24, 25});
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(buf, received));
    ms = ElapsedMs(start);
    sender.join();
    EXPECT_EQ(received, 16u);
    EXPECT_EQ(buf[0], 10);
    EXPECT_EQ(buf[15], 25);
    EXPECT_GE(ms, 40);
    EXPECT_LT(ms, 1500);  // well before the 2000 ms time-out

    // The multiplier counts per requested byte: 10 ms x 16 + 40 ms.
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 10, 40, 0, 0}));
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(buf, received));
    ms = ElapsedMs(start);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(ms, 190);
    EXPECT_LE(ms, 200 + kLateMs);
}

TEST(PosixSerialRead, NonBlockingAndUnlimitedForms) {
    PtyPort p(4, 115200);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;

    // Non-blocking: returns at once with what has arrived, or with nothing.
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0xFFFFFFFFu, 0, 0, 0, 0}));
    uint8_t buf[32];
    uint32_t received = 99;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(buf, received));
    EXPECT_EQ(received, 0u);
    EXPECT_LE(ElapsedMs(start), kLateMs);

    ASSERT_TRUE(pty.Send({7, 8, 9}));
    std::this_thread::sleep_for(20ms);
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(buf, received));
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(buf[0], 7);
    EXPECT_LE(ElapsedMs(start), kLateMs);

    // Both totals 0 (interval 0): the read waits until the count has arrived.
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 0}));
    std::thread sender([&] {
        for (uint8_t i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(60ms);
            pty.Send({i});
        }
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(std::span<uint8_t>(buf, 4), received));
    const long ms = ElapsedMs(start);
    sender.join();
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(buf[3], 3);
    EXPECT_GE(ms, 200);

    CommTimeouts back;
    ASSERT_TRUE(port->GetTimeouts(back));
    EXPECT_EQ(back.readInterval, 0u);
    EXPECT_EQ(back.readTotalConstant, 0u);
}

TEST(PosixSerialRead, HugeTotalLimitsWaitInsteadOfOverflowing) {
    PtyPort p(4, 115200);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;
    // 0xFFFFFFFF ms per byte for 4 MiB: far beyond what the clock can count.
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0}));
    std::vector<uint8_t> buf(4 << 20);
    std::thread sender([&] {
        std::this_thread::sleep_for(60ms);
        pty.Send({1, 2, 3});
        std::this_thread::sleep_for(20ms);
        pty.CloseMaster();  // ends the wait
    });
    uint32_t received = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->Read(buf, received));
    const long ms = ElapsedMs(start);
    sender.join();
    EXPECT_EQ(received, 3u);
    EXPECT_GE(ms, 70);
    EXPECT_LE(ms, 2000);
}

TEST(PosixSerialRead, IntervalEndsAReadAfterAGap) {
    PtyPort p(4, 115200);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{50, 0, 2000, 0, 0}));
    ASSERT_TRUE(pty.Send({1, 2}));
    uint8_t buf[8];
    uint32_t received = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port->Read(buf, received));
    const long ms = ElapsedMs(start);
    EXPECT_EQ(received, 2u);
    EXPECT_GE(ms, 40);
    EXPECT_LT(ms, 1500);  // the gap ended it, well before the 2000 ms total
}

TEST(PosixSerialRead, VanishedOtherSideFailsInsteadOfWaiting) {
    PtyPort p(4, 115200);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 0}));  // would wait for ever
    pty.CloseMaster();
    uint8_t buf[4];
    uint32_t received = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->Read(buf, received));
    EXPECT_LE(ElapsedMs(start), kLateMs);
    EXPECT_NE(port->LastError(), 0u);
    uint32_t sent = 0;
    const uint8_t byte = 'o';
    EXPECT_FALSE(port->Write(std::span<const uint8_t>(&byte, 1), sent));
}

TEST(PosixSerialWrite, AllBytesArriveAndAStalledWriteEndsAtItsTimeout) {
    PtyPort p(4, 921600);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;

    // More than the pseudo-terminal buffers at once: the write waits for the
    // reader and completes.
    const auto data = Pattern(200000, 1);
    std::vector<uint8_t> got;
    std::thread reader([&] { got = pty.Receive(data.size(), 5000); });
    uint32_t sent = 0;
    EXPECT_TRUE(port->Write(data, sent));
    reader.join();
    EXPECT_EQ(sent, data.size());
    EXPECT_EQ(got, data);

    // Nobody reads: with a write time-out the write gives up in time.
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 100}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->Write(data, sent));
    const long ms = ElapsedMs(start);
    EXPECT_EQ(port->LastError(), static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_LT(sent, data.size());
    EXPECT_GE(ms, 90);
    EXPECT_LE(ms, 100 + kLateMs);
}

TEST(PosixSerialWrite, WriteInStepsAndDrain) {
    PtyPort p(6, 921600);
    ASSERT_TRUE(p.ok());
    SerialPort& port = *p.port;
    uint32_t sent = 1;
    EXPECT_EQ(port.PollWrite(0, sent), WriteStatus::Failed);  // nothing begun
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(port.LastError(), static_cast<uint32_t>(EINVAL));

    // More than the pseudo-terminal holds: the write stays under way until the other end reads.
    const auto data = Pattern(200000, 8);
    ASSERT_TRUE(port.BeginWrite(data));
    EXPECT_FALSE(port.BeginWrite(data));
    EXPECT_EQ(port.LastError(), static_cast<uint32_t>(EBUSY));
    EXPECT_FALSE(port.Drain());
    EXPECT_EQ(port.LastError(), static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(port.PollWrite(10, sent), WriteStatus::Pending);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, data.size());

    std::vector<uint8_t> got;
    std::thread reader([&] { got = p.pty.Receive(data.size(), 5000); });
    EXPECT_EQ(port.PollWrite(kInfinite, sent), WriteStatus::Done);
    EXPECT_EQ(sent, data.size());
    EXPECT_TRUE(port.Drain());
    reader.join();
    EXPECT_EQ(got, data);
}

TEST(PosixSerialWrite, ConcurrentStreamsOnTwoWrappedPorts) {
    PtyPort pa(6, 921600), pb(7, 921600);
    ASSERT_TRUE(pa.ok() && pb.ok());
    PtyPair& a = pa.pty;
    PtyPair& b = pb.pty;
    // Wrapped as the host's watching wrappers do: the streams go through the wrappers' steps.
    flashwire::test_support::ForwardingPort wrappedA(std::move(pa.port)), wrappedB(std::move(pb.port));
    SerialPort* portA = &wrappedA;
    SerialPort* portB = &wrappedB;

    const auto dataA = Pattern(64 * 1024, 2);
    const auto dataB = Pattern(64 * 1024, 3);
    std::vector<uint8_t> gotA, gotB;
    std::thread readerA([&] { gotA = a.Receive(dataA.size(), 5000); });
    std::thread readerB([&] { gotB = b.Receive(dataB.size(), 5000); });
    StreamWrite writes[3];
    writes[0].port = portA;
    writes[0].data = dataA;
    writes[1].port = portB;
    writes[1].data = dataB;
    writes[2].port = nullptr;  // a missing port fails alone
    writes[2].data = dataA;
    posix::PosixSerialPorts().WriteConcurrently(writes);
    readerA.join();
    readerB.join();
    EXPECT_TRUE(writes[0].ok);
    EXPECT_TRUE(writes[1].ok);
    EXPECT_FALSE(writes[2].ok);
    EXPECT_EQ(writes[0].sent, dataA.size());
    EXPECT_EQ(writes[1].sent, dataB.size());
    EXPECT_EQ(writes[2].sent, 0u);
    EXPECT_EQ(gotA, dataA);
    EXPECT_EQ(gotB, dataB);
}

TEST(PosixSerialWrite, TwoStreamsOnOnePortGoOutOneAfterTheOther) {
    PtyPort p(6, 921600);
    ASSERT_TRUE(p.ok());
    PtyPair& pty = p.pty;
    auto& port = p.port;
    const auto first = Pattern(20000, 4);
    const auto second = Pattern(20000, 5);
    std::vector<uint8_t> got;
    std::thread reader([&] { got = pty.Receive(first.size() + second.size(), 5000); });
    StreamWrite writes[2];
    writes[0].port = port.get();
    writes[0].data = first;
    writes[1].port = port.get();
    writes[1].data = second;
    posix::PosixSerialPorts().WriteConcurrently(writes);
    reader.join();
    EXPECT_TRUE(writes[0].ok && writes[1].ok);
    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(got, expected);
}

TEST(PosixSerialWrite, ConcurrentStreamStalledOnOnePortDoesNotHoldTheOther) {
    PtyPort pa(6, 921600), pb(7, 921600);  // nobody reads port A
    ASSERT_TRUE(pa.ok() && pb.ok());
    PtyPair& b = pb.pty;
    SerialPort* portA = pa.port.get();
    SerialPort* portB = pb.port.get();
    ASSERT_TRUE(portA->SetTimeouts(CommTimeouts{0, 0, 0, 0, 150}));

    const auto data = Pattern(200000, 6);
    std::vector<uint8_t> gotB;
    std::thread readerB([&] { gotB = b.Receive(data.size(), 5000); });
    StreamWrite writes[2];
    writes[0].port = portA;
    writes[0].data = data;
    writes[1].port = portB;
    writes[1].data = data;
    const auto start = std::chrono::steady_clock::now();
    posix::PosixSerialPorts().WriteConcurrently(writes);
    const long ms = ElapsedMs(start);
    readerB.join();
    EXPECT_FALSE(writes[0].ok);
    EXPECT_LT(writes[0].sent, data.size());
    EXPECT_EQ(portA->LastError(), static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_TRUE(writes[1].ok);
    EXPECT_EQ(gotB, data);
    EXPECT_LT(ms, 5000);  // port A's time-out, not the 10 s stall limit
}
