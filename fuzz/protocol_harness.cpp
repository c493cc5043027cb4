// The protocol fuzzer's phone, clock and invariants (protocol_harness.h).
//
// The phone: every host read whose pending bytes are used up takes the next
// chunk of the input; a read gets at most what it asked for, the rest stays
// pending for the next reads. Time: a read that got all it asked for costs
// the bytes' time on the line; one that got less (a time-out) costs its whole
// time-out (none for a non-blocking read; 60 s for a read without a limit, as
// on the simulated phone's link); writes cost their bytes' time at the port's
// rate; Sleep costs what it asks. Nothing costs real time.
//
// The invariants beyond memory safety, after every input:
//  - the job ends within kSilenceBoundMs of the phone's last byte (virtual
//    time) and within kQuietWaitsBeforeAbort reads and sleeps after it, or after the
//    abort request the harness then raises within kAbortGraceMs more; and it
//    makes at most kMaxCalls calls into the clock and the ports;
//  - every port is closed and the thread's priority is back where it was;
//  - a failed read job leaves no saved file;
//  - SUCCESS only when the bytes earned it (the phone's answers that the
//    job needs are in the bytes the host took from the input; details at
//    CheckFlash, CheckVerify, CheckRead).
#include "fuzz/protocol_harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include <stdlib.h>

#include "api/options.h"
#include "flashwire/flash_api.h"
#include "fuzz/protocol_session.h"
#include "job/context.h"
#include "job/job_driver.h"
#include "job/thread_protocol.h"
#include "platform/platform.h"
#include "wire/crc32.h"

namespace protocol_fuzz {

using namespace flashwire;

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutText(std::vector<uint8_t>& out, const char* four) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(four[i]));
}

// ---- The phone's line, the clock and the ports.

struct Line {
    ChunkReader chunks;
    std::vector<uint8_t> pending;
    std::size_t pendingAt = 0;
    uint64_t nowUs = 0;
    uint64_t lastByteUs = 0;
    uint64_t waits = 0;  // reads and sleeps (writes are bounded by their size)
    uint64_t lastByteWaits = 0;
    uint64_t mostQuietWaits = 0;
    bool abortRaised = false;
    uint64_t calls = 0;
    flashwire::FlashContext* ctx = nullptr;
    std::vector<uint8_t> delivered;      // every byte the host took, in order
    std::vector<uint8_t> written[2];     // what the host wrote on each port (Write)
    int openPorts = 0;

    explicit Line(std::span<const uint8_t> input) : chunks(input) {}

    // Every call into the clock and the ports: raises the abort request once
    // the phone has been silent for kSilenceBoundMs, and stops the process on
    // a job that neither ends nor moves virtual time, or that runs past the
    // grace after the abort request (neither would return).
    void Tick() {
        ++calls;
        if (!abortRaised && ctx != nullptr &&
            (nowUs >= lastByteUs + kSilenceBoundMs * 1000 || waits >= lastByteWaits + kQuietWaitsBeforeAbort)) {
            abortRaised = true;
            ctx->abortRequested = true;
        }
        if (calls > kMaxCalls) Stop("more calls into the clock and the ports than the bound (a hang)");
        if (nowUs > lastByteUs + (kSilenceBoundMs + kAbortGraceMs) * 1000)
            Stop("job did not end within the grace after the abort request");
    }
    [[noreturn]] static void Stop(const char* what) {
        std::fprintf(stderr, "INVARIANT FAILED: %s\n", what);
        std::abort();
    }
    // A call that waits for the phone: a read or a sleep.
    void Wait() {
        ++waits;
        mostQuietWaits = std::max(mostQuietWaits, waits - lastByteWaits);
        Tick();
    }
    void Advance(uint64_t us) { nowUs += us; }
    // Up to want bytes for a read; takes the next chunk when nothing is pending.
    std::size_t Take(uint8_t* out, std::size_t want) {
        if (pendingAt >= pending.size()) {
            pending.clear();
            pendingAt = 0;
            std::span<const uint8_t> chunk;
            if (chunks.Next(chunk)) pending.assign(chunk.begin(), chunk.end());
        }
        const std::size_t n = std::min(want, pending.size() - pendingAt);
        if (n > 0) {
            std::memcpy(out, pending.data() + pendingAt, n);
            delivered.insert(delivered.end(), pending.begin() + static_cast<std::ptrdiff_t>(pendingAt),
                             pending.begin() + static_cast<std::ptrdiff_t>(pendingAt + n));
            pendingAt += n;
        }
        return n;
    }
};

class FuzzClock final : public platform::Clock {
public:
    explicit FuzzClock(Line& line) : line_(line) {}
    uint32_t Ticks() override {
        line_.Tick();
        return static_cast<uint32_t>(line_.nowUs / 1000);
    }
    void Sleep(uint32_t ms) override {
        line_.Advance(static_cast<uint64_t>(ms) * 1000);
        line_.Wait();
    }

private:
    Line& line_;
};

bool AcceptedRate(uint32_t baud) {
    for (uint32_t r : {57600u, 115200u, 230400u, 460800u, 921600u})
        if (r == baud) return true;
    return false;
}

class FuzzPort final : public platform::SerialPort {
public:
    FuzzPort(Line& line, unsigned index) : line_(line), index_(index) { ++line_.openPorts; }
    ~FuzzPort() override { --line_.openPorts; }

    bool GetSettings(platform::LineSettings& out) override {
        line_.Tick();
        out = settings_;
        return true;
    }
    bool SetSettings(const platform::LineSettings& settings) override {
        line_.Tick();
        if (!AcceptedRate(settings.baud)) return false;
        settings_ = settings;
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& out) override {
        out = timeouts_;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return true;
    }
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        const std::size_t n = buffer.empty() ? 0 : line_.Take(buffer.data(), buffer.size());
        received = static_cast<uint32_t>(n);
        if (n == buffer.size()) {
            line_.Advance(ByteTimeUs(n));
        } else if (!(timeouts_.readInterval == 0xFFFFFFFFu && timeouts_.readTotalMultiplier == 0 &&
                     timeouts_.readTotalConstant == 0)) {
            const uint64_t ms = timeouts_.readTotalMultiplier == 0 && timeouts_.readTotalConstant == 0
                                    ? 60'000
                                    : static_cast<uint64_t>(timeouts_.readTotalMultiplier) * buffer.size() +
                                          timeouts_.readTotalConstant;
            line_.Advance(ms * 1000);
        }
        if (n > 0) {
            line_.lastByteUs = line_.nowUs;
            line_.lastByteWaits = line_.waits;
        }
        line_.Wait();
        return true;
    }
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        Record(data);
        line_.Advance(ByteTimeUs(data.size()));
        line_.Tick();
        sent = static_cast<uint32_t>(data.size());
        return true;
    }
    bool BeginWrite(std::span<const uint8_t> data) override {
        line_.Tick();
        if (writing_) return false;
        // Not recorded: begun writes carry the data streams, never a frame.
        writing_ = true;
        writeEndUs_ = line_.nowUs + ByteTimeUs(data.size());
        writeSize_ = static_cast<uint32_t>(data.size());
        return true;
    }
    platform::WriteStatus PollWrite(uint32_t waitMs, uint32_t& sent) override {
        line_.Tick();
        if (!writing_) {
            sent = 0;
            return platform::WriteStatus::Failed;
        }
        if (waitMs != platform::kInfinite && line_.nowUs + waitMs * 1000ull < writeEndUs_) {
            line_.Advance(waitMs * 1000ull);
            sent = 0;
            return platform::WriteStatus::Pending;
        }
        if (line_.nowUs < writeEndUs_) line_.Advance(writeEndUs_ - line_.nowUs);
        writing_ = false;
        sent = writeSize_;
        return platform::WriteStatus::Done;
    }
    bool Drain() override {
        line_.Tick();
        return !writing_;
    }
    uint32_t LastError() const override { return 0; }

private:
    uint64_t ByteTimeUs(std::size_t n) const {
        const uint32_t baud = settings_.baud == 0 ? 115200 : settings_.baud;
        return static_cast<uint64_t>(n) * 10'000'000ull / baud;
    }
    void Record(std::span<const uint8_t> data) {
        std::vector<uint8_t>& w = line_.written[index_];
        w.insert(w.end(), data.begin(), data.end());
    }

    Line& line_;
    unsigned index_;
    platform::LineSettings settings_{};
    platform::CommTimeouts timeouts_{};
    bool writing_ = false;
    uint64_t writeEndUs_ = 0;
    uint32_t writeSize_ = 0;
};

class FuzzSerial final : public platform::SerialProvider {
public:
    explicit FuzzSerial(Line& line) : line_(line) {}
    // Port numbers 0 and 1 (COM1, COM2) open; others do not exist.
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool, uint32_t& systemError) override {
        line_.Tick();
        if (portNumber > 1) {
            systemError = ENOENT;
            return nullptr;
        }
        systemError = 0;
        return std::make_unique<FuzzPort>(line_, portNumber);
    }

private:
    Line& line_;
};

// Priorities kept here, not given to the system.
class FuzzThreading final : public platform::Threading {
public:
    explicit FuzzThreading(platform::Threading* inner) : inner_(inner) {}
    std::unique_ptr<platform::Event> CreateEvent(bool manualReset, bool initiallySet) override {
        return inner_->CreateEvent(manualReset, initiallySet);
    }
    std::unique_ptr<platform::Thread> StartThread(std::size_t stackBytes, std::function<uint32_t()> body) override {
        return inner_->StartThread(stackBytes, std::move(body));
    }
    int CurrentPriority() override { return current; }
    void SetCurrentPriority(int priority) override { current = priority; }
    int current = platform::kPriorityNormal;

private:
    platform::Threading* inner_;
};

int32_t Quiet(FlashHandle*, int32_t, const char*) { return 0; }
// With PROTOCOL_FUZZ_VERBOSE set, the job's messages go to stderr.
int32_t Print(FlashHandle*, int32_t level, const char* text) {
    std::fprintf(stderr, "%d: %s\n", level, text);
    return 0;
}

// ---- What the host sent: its command frames.

struct Frame {
    std::string command;
    std::vector<uint8_t> payload;
    bool operator<(const Frame& o) const { return std::tie(command, payload) < std::tie(o.command, o.payload); }
};

constexpr uint32_t Code(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) | static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

bool IsCommand(uint32_t code) {
    switch (code) {
        case Code("INFO"): case Code("CHKC"): case Code("BAUD"): case Code("SETP"): case Code("OPEN"):
        case Code("TXDT"): case Code("ERAS"): case Code("CLOS"): case Code("VRFY"): case Code("SUCK"):
        case Code("DONE"):
            return true;
        default:
            return false;
    }
}

// The well-formed frames in a port's bytes (4CC, length, payload, its CRC
// when not empty, "EOT."), each distinct frame once. (Plain word compares:
// this runs over every byte the host wrote, data streams included.)
std::set<Frame> Frames(const std::vector<uint8_t>& bytes) {
    std::set<Frame> out;
    std::size_t i = 0;
    while (i + 12 <= bytes.size()) {
        const uint32_t code = Le32(bytes.data() + i);
        if (!IsCommand(code)) {
            ++i;
            continue;
        }
        const uint32_t length = Le32(bytes.data() + i + 4);
        const std::size_t end = i + 8 + (length > 0 ? static_cast<std::size_t>(length) + 4 : 0) + 4;
        if (length > 0x10000 || end > bytes.size() || Le32(bytes.data() + end - 4) != Code("EOT.")) {
            ++i;
            continue;
        }
        std::span<const uint8_t> payload(bytes.data() + i + 8, length);
        if (length > 0 && Crc32(payload) != Le32(bytes.data() + i + 8 + length)) {
            ++i;
            continue;
        }
        out.insert(Frame{std::string(reinterpret_cast<const char*>(bytes.data() + i), 4),
                         std::vector<uint8_t>(payload.begin(), payload.end())});
        i = end;
    }
    return out;
}

std::size_t CountOf(const std::vector<uint8_t>& hay, std::span<const uint8_t> needle) {
    std::size_t n = 0;
    auto it = hay.begin();
    while (true) {
        it = std::search(it, hay.end(), needle.begin(), needle.end());
        if (it == hay.end()) return n;
        ++n;
        it += static_cast<std::ptrdiff_t>(needle.size());
    }
}

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

std::size_t CountText(const std::vector<uint8_t>& hay, const char* four) {
    return CountOf(hay, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(four), 4));
}

// An ok reply as it must appear in the phone's bytes: "+ok!", the length,
// the reply bytes and their CRC when not empty, "eom.".
std::vector<uint8_t> OkReply(std::span<const uint8_t> reply) {
    std::vector<uint8_t> out;
    PutText(out, "+ok!");
    PutLe32(out, static_cast<uint32_t>(reply.size()));
    out.insert(out.end(), reply.begin(), reply.end());
    if (!reply.empty()) PutLe32(out, Crc32(reply));
    PutText(out, "eom.");
    return out;
}

// The host's image buffers as the job loads them: 0xFF, the image on top.
class ImageModel {
public:
    ImageModel(const Header& h) : parts_(ImageFor(h.platform, h.image)) {
        const Platform& p = kPlatforms[h.platform];
        banks_.push_back({p.base, p.base + 0xFFFFF});
        if (p.secondBank != 0) banks_.push_back({p.secondBank, p.secondBank + 0xFFFFF});
    }
    // The bytes of [address, address + length); false outside the banks.
    bool Bytes(uint32_t address, uint32_t length, std::vector<uint8_t>& out) const {
        if (length == 0) return false;
        const uint64_t last = static_cast<uint64_t>(address) + length - 1;
        bool inside = false;
        for (const auto& [first, end] : banks_) inside = inside || (address >= first && last <= end);
        if (!inside) return false;
        out.assign(length, 0xFF);
        for (const ImagePart& part : parts_) {
            for (std::size_t i = 0; i < part.bytes.size(); ++i) {
                const uint64_t a = static_cast<uint64_t>(part.address) + i;
                if (a >= address && a <= last) out[a - address] = part.bytes[i];
            }
        }
        return true;
    }
    const std::vector<ImagePart>& parts() const { return parts_; }

private:
    std::vector<ImagePart> parts_;
    std::vector<std::pair<uint32_t, uint32_t>> banks_;
};

struct Span {
    uint32_t first;
    uint32_t length;
    bool Holds(uint64_t a) const { return a >= first && a < static_cast<uint64_t>(first) + length; }
};

bool Covered(const std::vector<Span>& spans, uint64_t address) {
    return std::any_of(spans.begin(), spans.end(), [&](const Span& s) { return s.Holds(address); });
}

struct Evidence {
    std::set<Frame> frames;
    const std::vector<uint8_t>& delivered;

    std::vector<const Frame*> Of(std::string_view command) const {
        std::vector<const Frame*> out;
        for (const Frame& f : frames)
            if (f.command == command) out.push_back(&f);
        return out;
    }
    // Every distinct frame of the commands got its echo and an ok status
    // (empty-reply commands: the whole empty ok reply) from the phone.
    std::string AnswersFor(std::initializer_list<const char*> commands, std::initializer_list<const char*> empty) const {
        std::size_t okNeeded = 0, emptyNeeded = 0;
        for (const char* c : commands) {
            const std::size_t n = Of(c).size();
            if (CountText(delivered, c) < n) return std::string("SUCCESS without the phone echoing every ") + c;
            okNeeded += n;
        }
        for (const char* c : empty) emptyNeeded += Of(c).size();
        if (CountText(delivered, "+ok!") < okNeeded) return "SUCCESS with fewer ok replies than commands";
        if (CountOf(delivered, OkReply({})) < emptyNeeded) return "SUCCESS with fewer empty ok replies than commands";
        return {};
    }
    // The phone's ok reply to "VRFY" of the span, with the image's CRC.
    bool VerifiedByPhone(const ImageModel& model, const Span& s) const {
        std::vector<uint8_t> bytes;
        if (!model.Bytes(s.first, s.length, bytes)) return false;
        std::vector<uint8_t> crc;
        PutLe32(crc, Crc32(bytes));
        return Contains(delivered, OkReply(crc));
    }
};

Span SpanOf(const Frame& f) { return f.payload.size() >= 8 ? Span{Le32(f.payload.data()), Le32(f.payload.data() + 4)} : Span{0, 0}; }

// Flash: every "TXDT" announces the image's own bytes (stream CRCs), every
// image byte went out in a "TXDT" or was found equal by a "VRFY" the phone
// answered with the image's CRC (/diff), and "SETP", "OPEN", "TXDT", "ERAS",
// "CLOS" each got as many ok answers as there were distinct such commands.
std::string CheckFlash(const Header& h, const Evidence& e) {
    const ImageModel model(h);
    std::vector<Span> sent;
    for (const Frame* f : e.Of("TXDT")) {
        if (f->payload.size() < 16) return "TXDT payload too short";
        const uint32_t address = Le32(f->payload.data());
        const uint32_t length = Le32(f->payload.data() + 4);
        const uint32_t streams = Le32(f->payload.data() + 12) & 0xFFFF;
        if (streams == 0 || 16 + 16 * static_cast<std::size_t>(streams) > f->payload.size()) return "TXDT stream table bad";
        for (uint32_t k = 0; k < streams; ++k) {
            const uint8_t* entry = f->payload.data() + 16 + 16 * k;
            std::vector<uint8_t> bytes;
            if (Le32(entry + 8) == 0) continue;
            if (!model.Bytes(address + Le32(entry + 4), Le32(entry + 8), bytes)) return "TXDT stream outside the banks";
            if (Crc32(bytes) != Le32(entry + 12)) return "TXDT announces data other than the image";
        }
        sent.push_back({address, length});
    }
    std::vector<Span> matched;
    for (const Frame* f : e.Of("VRFY"))
        if (e.VerifiedByPhone(model, SpanOf(*f))) matched.push_back(SpanOf(*f));
    for (const ImagePart& part : model.parts())
        for (std::size_t i = 0; i < part.bytes.size(); ++i)
            if (!Covered(sent, part.address + i) && !Covered(matched, part.address + i))
                return "SUCCESS with an image byte neither sent nor found equal";
    return e.AnswersFor({"SETP", "OPEN", "TXDT", "ERAS", "CLOS"}, {"OPEN", "TXDT", "ERAS", "CLOS"});
}

// Verify: every image byte lies in a "VRFY" block, and for every "VRFY" the
// phone's bytes hold the ok reply with the image's CRC of that block.
std::string CheckVerify(const Header& h, const Evidence& e) {
    const ImageModel model(h);
    std::vector<Span> checked;
    for (const Frame* f : e.Of("VRFY")) {
        if (!e.VerifiedByPhone(model, SpanOf(*f))) return "SUCCESS without the phone's CRC of a verified block";
        checked.push_back(SpanOf(*f));
    }
    for (const ImagePart& part : model.parts())
        for (std::size_t i = 0; i < part.bytes.size(); ++i)
            if (!Covered(checked, part.address + i)) return "SUCCESS with an image byte not verified";
    return e.AnswersFor({"SETP", "VRFY"}, {});
}

// The data records of an S-record file; false when a line is malformed.
bool ReadSavedFile(const std::string& path, std::map<uint32_t, uint8_t>& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 4 || line[0] != 'S') return false;
        if (line[1] < '1' || line[1] > '3') continue;
        const unsigned addressBytes = static_cast<unsigned>(line[1] - '0') + 1;
        std::vector<uint8_t> b;
        for (std::size_t i = 2; i + 1 < line.size(); i += 2) {
            unsigned v = 0;
            if (std::sscanf(line.c_str() + i, "%2x", &v) != 1) return false;
            b.push_back(static_cast<uint8_t>(v));
        }
        if (b.empty() || b[0] + 1u != b.size() || b.size() < addressBytes + 2) return false;
        uint32_t address = 0;
        for (unsigned i = 0; i < addressBytes; ++i) address = address << 8 | b[1 + i];
        for (std::size_t i = 1 + addressBytes; i + 1 < b.size(); ++i) out[address++] = b[i];
    }
    return true;
}

// Read: the saved file holds exactly the read ranges; every byte of it came
// in a "SUCK" block, and for every "SUCK" the phone's bytes hold the ok reply
// that carries the file's bytes of that block.
std::string CheckRead(const Header& h, const Evidence& e, const std::string& saveFile) {
    std::map<uint32_t, uint8_t> saved;
    if (!ReadSavedFile(saveFile, saved)) return "SUCCESS without a readable saved file";
    const uint32_t base = kPlatforms[h.platform].base;
    std::vector<Span> ranges = {{base, 0x1000}};
    if (h.flags & kReserved) ranges.push_back({base + 0x10000, 0x400});
    std::size_t expected = 0;
    for (const Span& r : ranges) expected += r.length;
    if (saved.size() != expected)
        return "saved file does not hold the read ranges (" + std::to_string(saved.size()) + " bytes, not " +
               std::to_string(expected) + ")";
    for (const auto& [address, byte] : saved)
        if (!Covered(ranges, address)) return "saved file holds bytes outside the read ranges";
    std::vector<Span> sucked;
    for (const Frame* f : e.Of("SUCK")) {
        const Span s = SpanOf(*f);
        std::vector<uint8_t> bytes;
        for (uint64_t a = s.first; a < static_cast<uint64_t>(s.first) + s.length; ++a) {
            const auto it = saved.find(static_cast<uint32_t>(a));
            if (it == saved.end()) return "SUCK of bytes the file does not hold";
            bytes.push_back(it->second);
        }
        if (!Contains(e.delivered, OkReply(bytes))) return "saved bytes that the phone's bytes did not carry";
        sucked.push_back(s);
    }
    for (const auto& [address, byte] : saved)
        if (!Covered(sucked, address)) return "saved byte that no SUCK asked for";
    return e.AnswersFor({"SETP", "SUCK"}, {});
}

}  // namespace

const std::string& ConfigDir() {
    static const std::string dir = [] {
        std::string base = "/tmp";
        std::error_code ec;
        if (std::filesystem::is_directory("/dev/shm", ec)) base = "/dev/shm";
        std::string pattern = base + "/flashwire-protocol-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return std::string("/tmp/");
        // Removed at exit; the path is kept where no destructor reaches it.
        static char removeAtExit[256];
        std::snprintf(removeAtExit, sizeof removeAtExit, "%s", pattern.c_str());
        std::atexit([] {
            std::error_code e;
            std::filesystem::remove_all(removeAtExit, e);
        });
        WriteConfig(pattern + "/");
        return pattern + "/";
    }();
    return dir;
}

Outcome RunInput(std::span<const uint8_t> input) {
    const std::string& dir = ConfigDir();
    const Header header = DecodeHeader(input);
    const std::string saveFile = dir + "saved.s19";
    std::remove(saveFile.c_str());

    Line line(input.size() > kHeaderSize ? input.subspan(kHeaderSize) : std::span<const uint8_t>());
    FuzzClock clock(line);
    FuzzSerial serial(line);
    FuzzThreading threading(platform::SystemServices().threading);

    FlashHandle handle{};
    handle.size = sizeof(FlashHandle);
    static const bool verbose = std::getenv("PROTOCOL_FUZZ_VERBOSE") != nullptr;
    handle.message = verbose ? &Print : &Quiet;
    auto ctx = std::make_unique<flashwire::FlashContext>();
    ctx->handle = &handle;
    ctx->services = platform::Services{&clock, &threading, &serial, platform::SystemServices().system};
    std::snprintf(ctx->exeDirectory, kPathSize, "%s", dir.c_str());
    std::snprintf(ctx->platformDefPath, kPathSize, "%splatform.def", dir.c_str());
    FlashOptions parsed{};
    SetDefaultOptions(parsed);
    Outcome out;
    const std::string options = OptionString(header, dir, saveFile);
    const int parsedCount = ParseOptionString(nullptr, options.c_str(), parsed);
    ctx->plan = MakeJobPlan(parsed);
    ctx->debug = ctx->plan.debug;
    if (parsedCount <= 0) {
        out.violation = "harness option string refused: " + options;
        return out;
    }
    line.ctx = ctx.get();

    ResetJobState(*ctx);
    out.result = DriveJob(*ctx);
    out.aborted = line.abortRaised;
    out.endMs = line.nowUs / 1000;
    out.lastByteMs = line.lastByteUs / 1000;
    out.calls = line.calls;
    out.mostQuietWaits = line.mostQuietWaits;

    if (line.openPorts != 0) {
        out.violation = "a port left open";
    } else if (threading.current != platform::kPriorityNormal || ctx->priorityStack.depth != 0) {
        out.violation = "thread priority not restored";
    } else if (header.job == kRead && out.result != SUCCESS && std::filesystem::exists(saveFile)) {
        out.violation = "a failed read job left a saved file";
    } else if (out.result == SUCCESS) {
        Evidence e{{}, line.delivered};
        for (const auto& w : line.written) {
            std::set<Frame> f = Frames(w);
            e.frames.insert(f.begin(), f.end());
        }
        switch (header.job) {
            case kFlash: out.violation = CheckFlash(header, e); break;
            case kVerify: out.violation = CheckVerify(header, e); break;
            case kRead: out.violation = CheckRead(header, e, saveFile); break;
        }
    }
    return out;
}

}  // namespace protocol_fuzz
