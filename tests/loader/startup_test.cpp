// The flash loader start-up inside whole flash jobs from power-on: version
// check, speeds line, chip resolution, connection test of a second port and
// the choice and switch of the transfer speed. Every job that gets through is
// checked by the phone's flash.
#include <gtest/gtest.h>

#include "flashops/job_rig.h"
#include "support/forwarding_port.h"
#include "sim/frame_codec.h"

namespace flashwire::job_test {
namespace {

using Bytes = std::vector<uint8_t>;

const Image kImage = {{0x10000, Pattern(300, 7)}};

// Flashes kImage; true when the job's result is rc and the phone holds the
// image exactly when the job succeeded.
::testing::AssertionResult FlashJob(JobRig& rig, const std::string& options, uint32_t rc) {
    if (!rig.Options(options + " /mode=flash /diff=0 /file=" + rig.WriteImage(kImage)))
        return ::testing::AssertionFailure() << "options refused";
    const uint32_t got = rig.Run();
    if (got != rc) return ::testing::AssertionFailure() << "result " << got << "\n" << rig.Transcript();
    if (rig.PhoneHolds(kImage) != (rc == SUCCESS))
        return ::testing::AssertionFailure() << "flash " << (rc == SUCCESS ? "lacks" : "holds") << " the image";
    return ::testing::AssertionSuccess();
}

bool HasLineStarting(const JobRig& rig, const std::string& prefix) {
    for (const boot_test::Line& l : rig.rig->host.lines)
        if (l.text.rfind(prefix, 0) == 0) return true;
    return false;
}

// Sets the word at offset of the "INFO" reply's payload and mends its CRC.
sim::ReplyFilter InfoWord(uint32_t offset, uint32_t value) {
    return [=](const sim::OutgoingReply& r, Bytes& b) {
        if (r.token != "INFO" || b.size() != 12 + 4 + 116 + 4 + 4) return;
        StoreLe32(value, b.data() + 16 + offset);
        StoreLe32(sim::Crc32(std::span<const uint8_t>(b).subspan(16, 116)), b.data() + 16 + 116);
    };
}

std::function<void(sim::PhoneConfig&)> Version(uint8_t major, uint8_t minor) {
    return [=](sim::PhoneConfig& c) {
        c.flashLoader.majorVersion = major;
        c.flashLoader.minorVersion = minor;
    };
}

std::function<void(sim::PhoneConfig&)> Speeds(std::array<uint32_t, 5> speeds) {
    return [=](sim::PhoneConfig& c) { c.flashLoader.speeds = speeds; };
}

struct StartCase {
    const char* name;
    const char* platform;
    std::function<void(sim::PhoneConfig&)> tweak;
    sim::ReplyFilter filter;
    uint32_t rc;
    std::vector<boot_test::Line> lines;  // level and text
    const char* absent;                  // no line starts with it (empty: not checked)
};

class StartUp : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartUp, DeviceInformation) {
    const StartCase& c = GetParam();
    JobRig rig(c.platform, 1, c.tweak);
    if (c.filter) rig.phone().SetReplyFilter(c.filter);
    EXPECT_TRUE(FlashJob(rig, "/com=1", c.rc));
    for (const boot_test::Line& l : c.lines) EXPECT_TRUE(rig.HasLine(l.text, l.level)) << l.text << "\n" << rig.Transcript();
    if (*c.absent) {
        EXPECT_FALSE(HasLineStarting(rig, c.absent)) << rig.Transcript();
    }
}

const StartCase kStartCases[] = {
    {"Version54Refused", "demo-active", Version(5, 4), {}, ERR_LEGACY_LOADER,
     {{0, "Flash loader version: V5.04"}, {2, "Legacy flash loader detected. (5.4 < 5.5) Unable to continue."}},
     "Mobile transfer speeds"},
    {"Version55Accepted", "demo-active", Version(5, 5), {}, SUCCESS, {{0, "Flash loader version: V5.05"}}, "Legacy"},
    {"Version60Accepted", "demo-active", Version(6, 0), {}, SUCCESS, {{0, "Flash loader version: V6.00"}}, "Legacy"},
    {"TwoSpeeds", "demo-active", Speeds({115200, 230400, 0, 0, 0}), {}, SUCCESS,
     {{0, "Mobile transfer speeds: 115200, 230400"}}, ""},
    {"FiveSpeeds", "demo-active", Speeds({57600, 115200, 230400, 460800, 921600}), {}, SUCCESS,
     {{0, "Mobile transfer speeds: 57600, 115200, 230400, 460800, 921600"}}, ""},
    {"NoSpeeds", "demo-active", Speeds({0, 115200, 921600, 0, 0}), {}, SUCCESS, {{0, "Mobile transfer speeds:"}}, ""},
    // The AMD pair names an Intel-style chip, the Intel pair no chip at all.
    {"UnknownChip", "demo-active",
     [](sim::PhoneConfig& c) {
         c.chips.at(0).amdManufacturer = 0x57;
         c.chips.at(0).amdDevice = 0x8810;
         c.chips.at(0).intelManufacturer = 0x57;
         c.chips.at(0).intelDevice = 0x9999;
     },
     {}, ERR_FLASHTYPE, {{0, "Unknown Flash Chip: 0x57/0x00008810, 0x57/0x00009999"}}, ""},
    {"FiveChipsRefusedAfterTheVersion", "demo-active", {}, InfoWord(4, 5), ERR_PROTOCOL,
     {{0, "Flash loader version: V6.00"}, {2, "The flash loader reports 5 flash chips; at most 4 are supported"}},
     "IDs returned by detection"},
    // An old loader is named as such, whatever it reports besides.
    {"FiveChipsOfALegacyLoader", "demo-active", Version(5, 4), InfoWord(4, 5), ERR_LEGACY_LOADER,
     {{0, "Flash loader version: V5.04"}, {2, "Legacy flash loader detected. (5.4 < 5.5) Unable to continue."}},
     "The flash loader reports"},
    {"OneChipNoTotal", "demo-active", {}, {}, SUCCESS,
     {{0, "0x42/0x00000110: Demo NOR 8 Mbit, bottom boot (AMD style) (1024 KB (1048576 Bytes) in 23 sectors)"}},
     "Total flash memory"},
    {"TwoChipsTotal", "demo-passive", {}, {}, SUCCESS,
     {{0, "Total flash memory: 12 MB (12582912 Bytes) in 167 sectors on 2 chips"}}, ""},
};

INSTANTIATE_TEST_SUITE_P(Loader, StartUp, ::testing::ValuesIn(kStartCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Port number 0's PC side refuses rates above 460800, so the job driver makes
// port 1 the command port.
class SlowFirstPort final : public platform::SerialProvider {
public:
    explicit SlowFirstPort(platform::SerialProvider& inner) : inner_(inner) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t number, bool overlapped, uint32_t& error) override {
        auto port = inner_.Open(number, overlapped, error);
        if (!port || number != 0) return port;
        return std::make_unique<Capped>(std::move(port));
    }

private:
    class Capped final : public test_support::ForwardingPort {
    public:
        using ForwardingPort::ForwardingPort;
        bool SetSettings(const platform::LineSettings& s) override {
            return s.baud <= 460800 && ForwardingPort::SetSettings(s);
        }
    };
    platform::SerialProvider& inner_;
};

const sim::ReplyFault kChkcRefused[] = {{"CHKC", 0, sim::ReplyFaultKind::Refuse}, {"CHKC", 1, sim::ReplyFaultKind::Refuse}};

struct ConnectionCase {
    const char* name;
    uint32_t commandPort;
    std::size_t refusals;  // of "CHKC"
    const char* options;
    uint32_t rc;
    std::vector<boot_test::Line> lines;
    uint32_t portsUsed;
};

class ConnectionTest : public ::testing::TestWithParam<ConnectionCase> {};

TEST_P(ConnectionTest, SecondPort) {
    const ConnectionCase& c = GetParam();
    JobRig rig("demo-active", 1, [&](sim::PhoneConfig& p) {
        p.faults.replies.assign(std::begin(kChkcRefused), std::begin(kChkcRefused) + c.refusals);
    });
    SlowFirstPort slow(rig.rig->link.serial());
    if (c.commandPort == 1) rig.ctx().services.serial = &slow;
    EXPECT_TRUE(FlashJob(rig, std::string("/com=1,2 ") + c.options, c.rc));
    for (const boot_test::Line& l : c.lines) EXPECT_TRUE(rig.HasLine(l.text, l.level)) << l.text << "\n" << rig.Transcript();
    EXPECT_EQ(rig.ctx().portCount, c.portsUsed);
    const auto checks = rig.Commands("CHKC");
    EXPECT_EQ(checks.size(), 2u);
    for (const auto& k : checks) EXPECT_EQ(k.uart, c.commandPort) << "\"CHKC\" travels on the command port";
}

INSTANTIATE_TEST_SUITE_P(
    Loader, ConnectionTest,
    ::testing::Values(
        ConnectionCase{"SecondPortFailsOnePortGoesOn", 0, 2, "", SUCCESS,
                       {{0, "Giving up on CheckConnection"},
                        {2, "Error during connection test. Only one port will be used"}},
                       1},
        ConnectionCase{"FirstPortFailsStartUpEnds", 1, 2, "", ERR_TOO_MANY_RETRIES,
                       {{0, "COM2 is connected to UART1"}, {2, "Connection test failed."}}, 2},
        ConnectionCase{"NoRetryStillRetriesOnce", 0, 1, "/noretry=1", SUCCESS,
                       {{0, "Retry 1: CheckConnection"}, {0, "2 port(s) will be used"}}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct SpeedCase {
    const char* name;
    bool crossed;  // COM1 reaches UART B (the boot ROM's), COM2 UART A
    std::vector<uint32_t> pcRates;
    std::array<uint32_t, 5> offered;
    sim::ReplyFilter filter;
    const char* options;
    uint32_t rc;
    std::vector<std::pair<uint32_t, uint32_t>> bauds;  // UART and rate of every "BAUD" received
    std::vector<std::string> lines;
};

class SpeedSwitch : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(SpeedSwitch, ChosenAndSwitched) {
    const SpeedCase& c = GetParam();
    JobRig rig("demo-active", 1, [&](sim::PhoneConfig& p) {
        p.flashLoader.speeds = c.offered;
        p.active.uart = c.crossed ? 1 : 0;
    });
    if (c.filter) rig.phone().SetReplyFilter(c.filter);
    rig.rig->link.SetPcRates(c.pcRates);
    if (c.crossed) {
        rig.rig->link.MapPort(0, 1);
        rig.rig->link.MapPort(1, 0);
    }
    EXPECT_TRUE(FlashJob(rig, c.options, c.rc));
    for (const std::string& l : c.lines) EXPECT_TRUE(rig.HasLine(l)) << l << "\n" << rig.Transcript();

    const auto& log = rig.phone().commandLog();
    const unsigned commandUart = rig.Commands("INFO").at(0).uart;
    std::vector<std::pair<uint32_t, uint32_t>> bauds;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].token != "BAUD") continue;
        bauds.emplace_back(sim::GetU32(log[i].payload, 0), sim::GetU32(log[i].payload, 4));
        if (c.rc != SUCCESS) continue;
        // The command port's switch is followed by one "SYNC" after the
        // settling time; the other port's by the next command.
        ASSERT_LT(i + 1, log.size());
        const bool commandPort = bauds.back().first == commandUart;
        EXPECT_EQ(log[i + 1].token == "SYNC", commandPort) << "after BAUD " << i;
        if (commandPort) {
            EXPECT_GE(log[i + 1].us - log[i].us, 750'000u);
            EXPECT_NE(log.at(i + 2).token, "SYNC");
        }
    }
    EXPECT_EQ(bauds, c.bauds);
}

const std::vector<uint32_t> kAllRates = {57600, 115200, 230400, 460800, 921600};

INSTANTIATE_TEST_SUITE_P(
    Loader, SpeedSwitch,
    ::testing::Values(
        SpeedCase{"LimitedByThePcPort", false, {57600, 115200, 230400, 460800}, {115200, 460800, 921600, 0, 0},
                  {}, "/com=1 /maxspeed=921600", SUCCESS, {{0, 460800}},
                  {"COM1: changing baud rate to 460800", "Logical port 0: COM1 <-> UART0 at 460800 baud (~100%)"}},
        SpeedCase{"TwoPortsShareByRate", true, kAllRates, {115200, 230400, 460800, 921600, 0},
                  {}, "/com=1,2 /maxspeed=921600,460800", SUCCESS, {{1, 921600}, {0, 460800}},
                  {"Logical port 0: COM1 <-> UART1 at 921600 baud (~66%)",
                   "Logical port 1: COM2 <-> UART0 at 460800 baud (~33%)"}},
        // 0 marks an empty entry, not the end of the list.
        SpeedCase{"EmptyEntrySkipped", false, kAllRates, {115200, 0, 921600, 0, 0}, {}, "/com=1 /maxspeed=921600",
                  SUCCESS, {{0, 921600}}, {"COM1: changing baud rate to 921600"}},
        SpeedCase{"NoCommonSpeedStaysAt115200", false, {115200, 921600}, {230400, 460800, 0, 0, 0},
                  {}, "/com=1 /maxspeed=921600", SUCCESS, {},
                  {"Logical port 0: COM1 <-> UART0 at 115200 baud (~100%)"}},
        // "INFO" offers 921600, which the loader then refuses: port 0's
        // switch fails twice and port 1 is never switched.
        SpeedCase{"FailedSwitchEndsStartUp", false, kAllRates, {115200, 460800, 0, 0, 0}, InfoWord(100, 921600),
                  "/com=1,2 /maxspeed=921600,921600", ERR_TOO_MANY_RETRIES, {{0, 921600}, {0, 921600}},
                  {"Retry 1: BaudRate", "Giving up on BaudRate"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Each port keeps its own rate: the second port's switch leaves the command
// port's, which sizes the blocks, as it is.
TEST(SpeedSwitch, PortsAtDifferentRatesKeepTheirOwn) {
    JobRig rig("demo-active");
    const Image image = {{0x20000, Pattern(0x9000, 3)}};
    ASSERT_TRUE(rig.Options("/com=1,2 /maxspeed=115200,921600 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_TRUE(rig.PhoneHolds(image));
    EXPECT_EQ(rig.ctx().ports[0].currentBaud, 115200u);
    EXPECT_EQ(rig.ctx().ports[1].currentBaud, 921600u);
    std::vector<uint32_t> blocks;
    for (const auto& t : rig.Commands("TXDT")) blocks.push_back(sim::GetU32(t.payload, 4));
    EXPECT_EQ(blocks, (std::vector<uint32_t>{0x4000, 0x4000, 0x1000})) << "blocks of a command port at 115200";
}

// The data streams of a "TXDT" start once its frame has gone out (no stream
// byte reaches the phone while the frame is arriving) and the stream gap has
// passed, on both ports at once.
TEST(DataStreams, FollowTheFrameAfterTheGap) {
    JobRig rig("demo-active");
    rig.phone().EnableWireLog(true);
    const Image image = {{0x20000, Pattern(0x3000, 9)}};
    ASSERT_TRUE(rig.Options("/com=1,2 /maxspeed=921600,921600 /mode=flash /diff=0 /file=" + rig.WriteImage(image)));
    ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
    EXPECT_TRUE(rig.PhoneHolds(image));
    const auto& wire = rig.phone().wireLog();
    constexpr uint64_t kFrameUs = 68 * 11;  // a 68-byte frame at 921600 baud, rounded up
    std::size_t twoStreams = 0;
    for (const sim::CommandRecord& t : rig.Commands("TXDT")) {
        twoStreams += (sim::GetU32(t.payload, 12) & 0xFFFFu) == 2;
        const unsigned other = 1u - t.uart;
        const auto early = std::count_if(wire.begin(), wire.end(), [&](const sim::WireRecord& w) {
            return w.direction == sim::Direction::ToPhone && w.uart == other && w.us + kFrameUs > t.us && w.us <= t.us;
        });
        EXPECT_EQ(early, 0) << "stream bytes while the frame was arriving";
        const auto first = std::find_if(wire.begin(), wire.end(), [&](const sim::WireRecord& w) {
            return w.direction == sim::Direction::ToPhone && w.us > t.us;
        });
        ASSERT_NE(first, wire.end());
        EXPECT_GE(first->us - t.us, 10'000u) << "the loader is given the gap to arm its receive";
        EXPECT_LT(first->us - t.us, 10'100u) << "and no more";
    }
    EXPECT_GT(twoStreams, 0u);
}

}  // namespace
}  // namespace flashwire::job_test
