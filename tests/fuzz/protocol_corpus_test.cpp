// The protocol fuzzer's sessions: good jobs recorded on the simulated phone
// (what each host read returned, as the fuzzer's chunks) replay to SUCCESS in
// the fuzzer's harness with every invariant held, and every input kept in
// fuzz/corpus/protocol/ runs without a broken invariant (findings stay there
// as regression inputs, with the result they must give).
//
// FLASHWIRE_RECORD_PROTOCOL_CORPUS=<dir> also writes the recorded sessions
// there (how fuzz/corpus/protocol/good-* were made).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "flashops/job_rig.h"
#include "fuzz/protocol_harness.h"
#include "fuzz/protocol_session.h"
#include "support/forwarding_port.h"

namespace flashwire::job_test {
namespace {

using namespace protocol_fuzz;

// Appends what every read returned to the session, one chunk per read.
class RecordingPort final : public test_support::ForwardingPort {
public:
    RecordingPort(std::unique_ptr<platform::SerialPort> inner, std::vector<uint8_t>& session)
        : ForwardingPort(std::move(inner)), session_(session) {}
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        const bool ok = ForwardingPort::Read(buffer, received);
        AppendChunk(session_, buffer.first(std::min<std::size_t>(received, buffer.size())));
        return ok;
    }

private:
    std::vector<uint8_t>& session_;
};

class RecordingSerial final : public platform::SerialProvider {
public:
    RecordingSerial(platform::SerialProvider& inner, std::vector<uint8_t>& session) : inner_(inner), session_(session) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override {
        auto port = inner_.Open(portNumber, overlapped, systemError);
        if (!port) return port;
        return std::make_unique<RecordingPort>(std::move(port), session_);
    }

private:
    platform::SerialProvider& inner_;
    std::vector<uint8_t>& session_;
};

struct SessionCase {
    const char* name;
    std::size_t platform;
    JobKind job;
    uint8_t flags;
    unsigned speedIndex;
    unsigned image;
};

// Every platform, every job, one and two ports, the four rates and the flags.
const SessionCase kSessions[] = {
    {"good-active-flash", 0, kFlash, 0, 3, 0},
    {"good-passive-verify-2ports", 1, kVerify, kTwoPorts, 0, 1},
    {"good-setup-read-2ranges", 2, kRead, kReserved, 2, 0},
    {"good-mit1-flash-diff-2ports", 3, kFlash, kDiff | kTwoPorts, 3, 1},
    {"good-passive-flash-eraseunused-reserved", 1, kFlash, kEraseUnused | kReserved, 3, 0},
    {"good-active-read-2ports", 0, kRead, kTwoPorts, 1, 0},
    {"good-setup-flash-extprotect", 2, kFlash, kExtProtect, 1, 1},
    {"good-mit1-verify-noretry", 3, kVerify, kNoRetry, 2, 0},
};

std::vector<uint8_t> Record(const SessionCase& c, uint32_t& result) {
    std::vector<uint8_t> session = EncodeHeader(c.platform, c.job, c.flags, c.speedIndex, c.image);
    const Header h = DecodeHeader(session);
    // The phone holds the image already for verify jobs and /diff.
    const bool preload = c.job == kVerify || (c.flags & kDiff) != 0;
    JobRig rig(kPlatforms[c.platform].name, 1, [&](sim::PhoneConfig& config) {
        if (preload)
            for (const ImagePart& part : ImageFor(c.platform, c.image)) config.initialFlash.push_back({part.address, part.bytes});
    }, ConfigDir());
    EXPECT_EQ(rig.configError, "");
    RecordingSerial serial(*rig.ctx().services.serial, session);
    rig.ctx().services.serial = &serial;
    const std::string options = OptionString(h, ConfigDir(), rig.dir() + "/saved.s19");
    EXPECT_GT(ParseOptionString(nullptr, options.c_str(), rig.options()), 0) << options;
    rig.UsePlan();
    result = rig.Run();
    EXPECT_EQ(result, SUCCESS) << c.name << "\n" << rig.Transcript();
    return session;
}

TEST(ProtocolCorpus, RecordedGoodSessionsReplayToSuccess) {
    const char* out = std::getenv("FLASHWIRE_RECORD_PROTOCOL_CORPUS");
    for (const SessionCase& c : kSessions) {
        uint32_t recorded = 0;
        const std::vector<uint8_t> session = Record(c, recorded);
        const Outcome replay = RunInput(session);
        EXPECT_EQ(replay.violation, "") << c.name;
        EXPECT_EQ(replay.result, recorded) << c.name;
        EXPECT_FALSE(replay.aborted) << c.name << ": " << replay.mostQuietWaits << " waits without a byte";
        if (out != nullptr)
            std::ofstream(std::string(out) + "/" + c.name, std::ios::binary)
                .write(reinterpret_cast<const char*>(session.data()), static_cast<std::streamsize>(session.size()));
    }
}

// The committed corpus: the good sessions give SUCCESS, every input holds the
// invariants.
TEST(ProtocolCorpus, CommittedInputsHoldTheInvariants) {
    const std::filesystem::path dir = std::filesystem::path(FLASHWIRE_SOURCE_DIR) / "fuzz/corpus/protocol";
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const Outcome out = RunInput(input);
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(out.violation, "") << name;
        if (name.starts_with("good-")) {
            EXPECT_EQ(out.result, SUCCESS) << name;
        }
        ++count;
    }
    EXPECT_GE(count, std::size(kSessions));
}

}  // namespace
}  // namespace flashwire::job_test
