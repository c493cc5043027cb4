// Flash, verify and read throughput on the virtual clock: a 4 MiB image of
// pseudo-random bytes flashed at 0 on a "demo-passive" phone from power-on,
// then verified and read back (each job from its own power-on), at 115200 on
// one port and 921600 on one and two ports, with instant flash operations and
// with the phone's default flash timings.
//
// Figures: payload bytes per second of virtual time as a ratio to the line
// capacity (ports x rate / 10 bytes per second), for the job alone (the
// phone's first "SETP" to its "DONE", from the phone's command log) and for
// the whole run from power-on. Verify and read carry their data on the
// command port alone (a "VRFY" answer is a CRC, a "SUCK" answer carries the
// bytes), so their capacity is one port's. Every run is checked: the job
// succeeded, the phone's flash holds the image, the read-back file equals the
// flash. When the last figure is below the target, the last case's flash job
// is taken apart by the phone's wire log and its start-up from power-on is
// listed; --breakdown does so for every case.
//
// The phone's loader arms its receive for a "TXDT" stream 3 ms after the
// frame, as the tests' phones do, and the host keeps its default stream gap
// (10 ms). The headline case is also flashed with the gap set to 0 in
// "platform.def" against a loader that keeps early bytes, and both figures
// are printed side by side: the gap's cost.
//
// The last line: "flash throughput: X.XXX of line capacity (2 ports, 921600,
// instant flash)" for the flash job alone, with the default gap.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flashops/job_rig.h"
#include "support/forwarding_port.h"

namespace flashwire::bench {
namespace {

using job_test::JobRig;

constexpr uint32_t kImageBytes = 4u << 20;
constexpr uint32_t kImageBase = 0;
constexpr const char* kPlatform = "demo-passive";
constexpr double kTarget = 0.96;     // default stream gap
constexpr double kGapZeroTarget = 0.99;

double Seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }

double WallSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- Counting the host's port operations ----------------------------------
// The host's reads and writes go through these wrappers so that the number of
// read requests per block can be shown; a stream of a concurrent write is one
// begun write.

struct PortCounts {
    uint64_t reads = 0;
    uint64_t readBytes = 0;
    uint64_t writes = 0;
    uint64_t writeBytes = 0;
    uint64_t streamWrites = 0;
};

class CountingPort final : public test_support::ForwardingPort {
public:
    CountingPort(std::unique_ptr<platform::SerialPort> inner, PortCounts& counts)
        : ForwardingPort(std::move(inner)), counts_(counts) {}
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        const bool ok = ForwardingPort::Read(buffer, received);
        ++counts_.reads;
        counts_.readBytes += received;
        return ok;
    }
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        const bool ok = ForwardingPort::Write(data, sent);
        ++counts_.writes;
        counts_.writeBytes += sent;
        return ok;
    }
    bool BeginWrite(std::span<const uint8_t> data) override {
        ++counts_.streamWrites;
        return ForwardingPort::BeginWrite(data);
    }

private:
    PortCounts& counts_;
};

class CountingSerial final : public platform::SerialProvider {
public:
    explicit CountingSerial(platform::SerialProvider& inner) : inner_(inner) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override {
        auto port = inner_.Open(portNumber, overlapped, systemError);
        if (!port) return port;
        return std::make_unique<CountingPort>(std::move(port), counts);
    }
    PortCounts counts;

private:
    platform::SerialProvider& inner_;
};

// ---- Cases and results ------------------------------------------------------

struct Case {
    uint32_t rate;
    uint32_t ports;
    bool instant;  // flash operations take no time
    bool gapZero = false;  // "StreamGap=0", against a loader that keeps early bytes

    std::string Name() const {
        return std::to_string(ports) + (ports == 1 ? " port,  " : " ports, ") + std::to_string(rate) +
               (instant ? ", instant flash" : ", default flash timings") +
               (gapZero ? ", stream gap 0" : ", default stream gap");
    }
    std::string ComOptions() const {
        const std::string r = std::to_string(rate);
        return ports == 2 ? "/com=1,2 /maxspeed=" + r + "," + r : "/com=1 /maxspeed=" + r;
    }
};

struct JobResult {
    const char* name = "";
    uint32_t capacityPorts = 1;
    uint64_t powerOnUs = 0;
    uint64_t setupUs = 0;  // the phone's first "SETP" (its last byte)
    uint64_t doneUs = 0;   // its "DONE"
    uint64_t endUs = 0;    // the run's end
    PortCounts counts;
    uint64_t blocks = 0;  // "TXDT", "VRFY" or "SUCK" commands
    double wallSeconds = 0;
};

struct Failure {
    std::string what;
};

double Ratio(uint64_t bytes, uint64_t us, uint32_t ports, uint32_t rate) {
    const double capacity = static_cast<double>(ports) * rate / 10.0;
    return us == 0 ? 0 : static_cast<double>(bytes) / Seconds(us) / capacity;
}

// The data records of an S-record file into [base, base + out.size());
// false on a bad line, a bad checksum, a byte outside or a byte twice.
bool ReadSRecordImage(const std::string& path, uint32_t base, std::vector<uint8_t>& out, std::vector<bool>& seen,
                      std::string& error) {
    std::ifstream in(path);
    if (!in) return error = "cannot open " + path, false;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string line;
    std::vector<uint8_t> bytes;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 4 || line[0] != 'S' || line.size() % 2 != 0) return error = "bad line: " + line, false;
        bytes.clear();
        for (std::size_t i = 2; i < line.size(); i += 2) {
            const int hi = hex(line[i]), lo = hex(line[i + 1]);
            if (hi < 0 || lo < 0) return error = "bad digit: " + line, false;
            bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
        }
        unsigned sum = 0;
        for (uint8_t b : bytes) sum += b;
        if ((sum & 0xFF) != 0xFF || bytes[0] + 1u != bytes.size()) return error = "bad checksum: " + line, false;
        if (line[1] < '1' || line[1] > '3') continue;
        const unsigned addressBytes = static_cast<unsigned>(line[1] - '0') + 1;
        uint32_t address = 0;
        for (unsigned i = 0; i < addressBytes; ++i) address = address << 8 | bytes[1 + i];
        for (std::size_t i = 1 + addressBytes; i + 1 < bytes.size(); ++i, ++address) {
            if (address < base || address - base >= out.size()) return error = "byte outside the read range", false;
            if (seen[address - base]) return error = "byte read twice", false;
            seen[address - base] = true;
            out[address - base] = bytes[i];
        }
    }
    return true;
}

// ---- Where the flash job's virtual time goes ---------------------------------
// Each loader command between the first "SETP" and the "DONE" is cut into:
// its frame on the line, the gap before its data streams ("TXDT"), the
// streams, the phone's latency (end of what it received to the start of its
// answer), the answer on the line, and the host's turnaround (end of the
// answer to the start of the next frame). The parts add up to the window.

struct Parts {
    uint64_t count = 0;
    uint64_t frame = 0, gap = 0, streams = 0, latency = 0, reply = 0, turnaround = 0;
    uint64_t streamBytes = 0;
    uint64_t Total() const { return frame + gap + streams + latency + reply + turnaround; }
};

class WireTimeline {
public:
    WireTimeline(const sim::Phone& phone, uint32_t rate) : byteUs_(10'000'000.0 / rate) {
        for (const sim::WireRecord& w : phone.wireLog()) {
            auto& list = w.direction == sim::Direction::ToPhone ? toPhone_[w.uart & 1u] : toHost_[w.uart & 1u];
            list.push_back(w.us);
        }
        for (auto* lists : {&toPhone_, &toHost_})
            for (auto& l : *lists) std::sort(l.begin(), l.end());
    }

    // Start of the first byte (its last bit arrives at us).
    uint64_t ByteStart(uint64_t us) const { return us - static_cast<uint64_t>(byteUs_ + 0.5); }

    // Arrival of the byte count - 1 bytes before the one arriving at us on uart.
    std::optional<uint64_t> FrameFirstByte(unsigned uart, uint64_t lastUs, std::size_t frameBytes) const {
        const auto& l = toPhone_[uart];
        const auto it = std::lower_bound(l.begin(), l.end(), lastUs);
        if (it == l.end() || *it != lastUs) return std::nullopt;
        const auto index = static_cast<std::size_t>(it - l.begin());
        if (index + 1 < frameBytes) return std::nullopt;
        return l[index + 1 - frameBytes];
    }

    // Arrivals in (from, to] of one direction and uart.
    std::pair<std::size_t, std::size_t> Range(bool toPhone, unsigned uart, uint64_t from, uint64_t to) const {
        const auto& l = toPhone ? toPhone_[uart] : toHost_[uart];
        const auto a = std::upper_bound(l.begin(), l.end(), from);
        const auto b = std::upper_bound(l.begin(), l.end(), to);
        return {static_cast<std::size_t>(a - l.begin()), static_cast<std::size_t>(b - l.begin())};
    }
    uint64_t At(bool toPhone, unsigned uart, std::size_t i) const { return (toPhone ? toPhone_[uart] : toHost_[uart])[i]; }
    double byteUs() const { return byteUs_; }

private:
    double byteUs_;
    std::array<std::vector<uint64_t>, 2> toPhone_, toHost_;
};

void PrintBreakdown(const sim::Phone& phone, const Case& c, uint64_t setupUs, uint64_t doneUs) {
    struct Cmd {
        std::string token;
        unsigned uart;
        uint64_t endUs;
        std::size_t frameBytes;
    };
    std::vector<Cmd> cmds;
    for (const sim::CommandRecord& r : phone.commandLog()) {
        if (r.stage != sim::Stage::FlashLoader || r.token.size() != 4 || r.token == "SYNC") continue;
        if (r.us < setupUs || r.us > doneUs) continue;
        cmds.push_back({r.token, r.uart, r.us, 12 + r.payload.size() + (r.payload.empty() ? 0 : 4)});
    }
    const WireTimeline wire(phone, c.rate);
    std::vector<uint64_t> frameStart(cmds.size());
    for (std::size_t i = 0; i < cmds.size(); ++i) {
        const auto first = wire.FrameFirstByte(cmds[i].uart, cmds[i].endUs, cmds[i].frameBytes);
        if (!first) {
            std::printf("breakdown: the wire log does not hold the frame of %s at %llu us\n", cmds[i].token.c_str(),
                        static_cast<unsigned long long>(cmds[i].endUs));
            return;
        }
        frameStart[i] = wire.ByteStart(*first);
    }

    std::map<std::string, Parts> by;
    Parts all;
    uint64_t replyBytes = 0;
    for (std::size_t i = 0; i + 1 < cmds.size(); ++i) {  // the "DONE" counts with its frame only
        const Cmd& cmd = cmds[i];
        const uint64_t next = frameStart[i + 1];
        Parts p;
        p.count = 1;
        if (i > 0) p.frame = cmd.endUs - frameStart[i];
        uint64_t received = cmd.endUs;  // end of what the phone received for this command
        if (cmd.token == "TXDT") {
            uint64_t first = UINT64_MAX, last = 0;
            for (unsigned u = 0; u < 2; ++u) {
                const auto [a, b] = wire.Range(true, u, cmd.endUs, next);
                if (a == b) continue;
                first = std::min(first, wire.ByteStart(wire.At(true, u, a)));
                last = std::max(last, wire.At(true, u, b - 1));
                p.streamBytes += b - a;
            }
            if (last != 0) {
                p.gap = first - cmd.endUs;
                p.streams = last - first;
                received = last;
            }
        }
        const auto [a, b] = wire.Range(false, cmd.uart, received, next);
        uint64_t replyEnd = received;
        if (a != b) {
            const uint64_t replyStart = wire.ByteStart(wire.At(false, cmd.uart, a));
            replyEnd = wire.At(false, cmd.uart, b - 1);
            p.latency = replyStart - received;
            p.reply = replyEnd - replyStart;
            replyBytes += b - a;
        }
        p.turnaround = next - replyEnd;
        Parts& t = by[cmd.token];
        for (Parts* s : {&t, &all}) {
            s->count += p.count;
            s->frame += p.frame;
            s->gap += p.gap;
            s->streams += p.streams;
            s->latency += p.latency;
            s->reply += p.reply;
            s->turnaround += p.turnaround;
            s->streamBytes += p.streamBytes;
        }
    }
    Parts& done = by["DONE"];
    done.count += 1;
    done.frame += cmds.back().endUs - frameStart.back();
    all.frame += cmds.back().endUs - frameStart.back();

    const uint64_t window = doneUs - setupUs;
    const uint64_t payload = all.streamBytes;
    const double ideal = static_cast<double>(payload) * 10.0 / (static_cast<double>(c.ports) * c.rate) * 1e6;
    auto pct = [&](uint64_t us) { return 100.0 * static_cast<double>(us) / static_cast<double>(window); };
    std::printf("breakdown of the flash job (%s): window %.3f s from the end of \"SETP\" to the end of \"DONE\"\n",
                c.Name().c_str(), Seconds(window));
    std::printf("  one byte on the line: %.2f us; payload %llu bytes, at line capacity %.3f s\n", wire.byteUs(),
                static_cast<unsigned long long>(payload), ideal / 1e6);
    std::printf("  phone = end of what it received to the start of its answer (reaction time and flash work);\n"
                "  host = end of the answer to the start of the next frame\n");
    std::printf("  %-5s %5s %9s %9s %10s %9s %9s %9s   (ms; 'each' lines in us)\n", "cmd", "count", "frame", "gap",
                "streams", "phone", "answer", "host");
    for (const auto& [token, p] : by) {
        std::printf("  %-5s %5llu %9.1f %9.1f %10.1f %9.1f %9.1f %9.1f\n", token.c_str(),
                    static_cast<unsigned long long>(p.count), p.frame / 1e3, p.gap / 1e3, p.streams / 1e3,
                    p.latency / 1e3, p.reply / 1e3, p.turnaround / 1e3);
        const double n = static_cast<double>(p.count);
        std::printf("  %-5s %5s %9.1f %9.1f %10.1f %9.1f %9.1f %9.1f\n", "", "each", p.frame / n, p.gap / n,
                    p.streams / n, p.latency / n, p.reply / n, p.turnaround / n);
    }
    std::printf("  all   %5llu %9.1f %9.1f %10.1f %9.1f %9.1f %9.1f = %.1f ms (window %.1f ms)\n",
                static_cast<unsigned long long>(all.count), all.frame / 1e3, all.gap / 1e3, all.streams / 1e3,
                all.latency / 1e3, all.reply / 1e3, all.turnaround / 1e3, all.Total() / 1e3, window / 1e3);
    std::printf("  share of the window: frames %.2f%%, gaps %.2f%%, streams %.2f%%, phone latency %.2f%%, "
                "answers %.2f%%, host %.2f%%\n",
                pct(all.frame), pct(all.gap), pct(all.streams), pct(all.latency), pct(all.reply),
                pct(all.turnaround));
    std::printf("  streams vs line capacity: %.4f (stream time %.3f s for %.3f s of payload)\n",
                ideal / static_cast<double>(all.streams), Seconds(all.streams), ideal / 1e6);
    std::printf("  answer bytes from the phone: %llu\n", static_cast<unsigned long long>(replyBytes));
}

// ---- Start-up: power-on to the first "SETP" ----------------------------------
// The commands the phone received, runs of one token folded into one line.
void PrintStartup(const sim::Phone& phone, uint64_t powerOnUs, uint64_t setupUs) {
    std::printf("start-up from power-on to the first \"SETP\": %.3f s (times from power-on)\n",
                Seconds(setupUs - powerOnUs));
    const auto& log = phone.commandLog();
    std::size_t i = 0;
    uint64_t previous = powerOnUs;
    while (i < log.size()) {
        const sim::CommandRecord& c = log[i];
        if (c.us < powerOnUs) {
            ++i;
            continue;
        }
        if (c.us > setupUs) break;
        std::size_t j = i;
        while (j + 1 < log.size() && log[j + 1].token == c.token && log[j + 1].stage == c.stage &&
               log[j + 1].uart == c.uart && log[j + 1].us <= setupUs)
            ++j;
        std::printf("  %9.3f ms  +%9.3f ms  %-16s uart %u  %-6s x%zu (last at %.3f ms)\n", (c.us - powerOnUs) / 1e3,
                    (c.us - previous) / 1e3, sim::StageName(c.stage), c.uart, c.token.c_str(), j - i + 1,
                    (log[j].us - powerOnUs) / 1e3);
        previous = log[j].us;
        i = j + 1;
    }
}

// ---- Running the cases ------------------------------------------------------

// The phone's first "SETP" at or after from and the "DONE" after it.
bool FindJobWindow(const sim::Phone& phone, uint64_t from, JobResult& r) {
    bool setup = false;
    for (const sim::CommandRecord& c : phone.commandLog()) {
        if (c.us < from || c.stage != sim::Stage::FlashLoader) continue;
        if (!setup && c.token == "SETP") {
            r.setupUs = c.us;
            setup = true;
        } else if (setup && c.token == "DONE") {
            r.doneUs = c.us;
            return true;
        }
    }
    return false;
}

uint64_t CountCommands(const sim::Phone& phone, const std::string& token, uint64_t from, uint64_t to) {
    uint64_t n = 0;
    for (const sim::CommandRecord& c : phone.commandLog())
        if (c.token == token && c.us >= from && c.us <= to) ++n;
    return n;
}

// The configuration of a gap-0 case: the shipped one with "StreamGap=0".
std::unique_ptr<job_test::TestConfig> ConfigFor(const Case& c) {
    if (!c.gapZero) return nullptr;
    return std::make_unique<job_test::TestConfig>(job_test::PlatformDefWith(kPlatform, "StreamGap=0\n"),
                                                  job_test::ShippedFlashTypes());
}

class CaseRunner {
public:
    CaseRunner(const Case& c, const std::vector<uint8_t>& image, bool wireLog)
        : case_(c), image_(image), config_(ConfigFor(c)),
          rig_(kPlatform, 1,
               [&c](sim::PhoneConfig& config) {
                   if (c.gapZero) config.timing.streamArmingUs = 0;  // it would lose the streams' first bytes
                   if (!c.instant) return;
                   config.timing.programNsPerByte = 0;
                   config.timing.eraseFixedUs = 0;
                   config.timing.eraseUsPerKiB = 0;
                   config.timing.readNsPerByte = 0;
               },
               config_ ? config_->dir() : job_test::kConfigDir),
          serial_(rig_.rig->link.serial()) {
        if (!rig_.configError.empty()) throw Failure{"platform " + std::string(kPlatform) + ": " + rig_.configError};
        rig_.ctx().services.serial = &serial_;
        rig_.phone().EnableWireLog(wireLog);
        imagePath_ = rig_.WriteImage({{kImageBase, image_}});
    }

    JobResult Flash() {
        JobResult r = Run("flash", case_.ports, "/mode=flash /diff=0 /file=" + imagePath_, false, "TXDT");
        if (!rig_.PhoneHolds({{kImageBase, image_}})) throw Failure{"flash: the phone's flash differs from the image"};
        // Two ports: the second carries its share (half) of every block.
        if (case_.ports == 2 && rig_.phone().bytesFromHost(1) < kImageBytes / 2)
            throw Failure{"flash: the second port carried " + std::to_string(rig_.phone().bytesFromHost(1)) +
                          " bytes, less than half the image"};
        return r;
    }

    JobResult Verify() {
        JobResult r = Run("verify", 1, "/mode=verify /file=" + imagePath_, true, "VRFY");
        if (r.blocks * 0x10000ull < kImageBytes) throw Failure{"verify: fewer \"VRFY\" blocks than the image needs"};
        return r;
    }

    JobResult Read() {
        const std::string save = rig_.dir() + "/read.s19";
        char range[64];
        std::snprintf(range, sizeof range, "/read=0x%x-0x%x", kImageBase, kImageBase + kImageBytes - 1);
        JobResult r = Run("read", 1, "/mode=read /savefile=" + save + " " + range, true, "SUCK");
        std::vector<uint8_t> saved(kImageBytes, 0);
        std::vector<bool> seen(kImageBytes, false);
        std::string error;
        if (!ReadSRecordImage(save, kImageBase, saved, seen, error)) throw Failure{"read: saved file: " + error};
        if (std::count(seen.begin(), seen.end(), false) != 0) throw Failure{"read: the saved file misses bytes"};
        if (saved != rig_.Flash(kImageBase, kImageBytes)) throw Failure{"read: the saved file differs from the flash"};
        if (saved != image_) throw Failure{"read: the saved file differs from the image"};
        return r;
    }

    sim::Phone& phone() { return rig_.phone(); }

private:
    JobResult Run(const char* name, uint32_t capacityPorts, const std::string& options, bool powerCycle,
                  const char* blockToken) {
        JobResult r;
        r.name = name;
        r.capacityPorts = capacityPorts;
        SetDefaultOptions(rig_.options());
        if (!rig_.Options(case_.ComOptions() + " " + options)) throw Failure{std::string(name) + ": options refused"};
        sim::VirtualLink& link = rig_.rig->link;
        if (powerCycle) {
            // The phone restarts (its flash stays) and the host starts then: a
            // host that began earlier would talk to the previous run's loader
            // at its switched rate.
            const uint32_t ms = rig_.rig->NowMs() + 1;
            link.PowerOnAtMs(ms);
            r.powerOnUs = static_cast<uint64_t>(ms) * 1000;
            link.AdvanceToUs(r.powerOnUs);
        } else {
            r.powerOnUs = rig_.phone().config().powerOnUs;
        }
        const PortCounts before = serial_.counts;
        const auto wallStart = std::chrono::steady_clock::now();
        const uint32_t rc = rig_.Run();
        r.wallSeconds = WallSince(wallStart);
        r.endUs = link.NowUs();
        r.counts = serial_.counts;
        r.counts.reads -= before.reads;
        r.counts.readBytes -= before.readBytes;
        r.counts.writes -= before.writes;
        r.counts.writeBytes -= before.writeBytes;
        r.counts.streamWrites -= before.streamWrites;
        if (rc != SUCCESS) {
            const std::string transcript = rig_.Transcript();
            const std::size_t keep = 4000;
            throw Failure{std::string(name) + ": job failed with code " + std::to_string(rc) + "; transcript ends:\n" +
                          transcript.substr(transcript.size() > keep ? transcript.size() - keep : 0)};
        }
        if (!FindJobWindow(rig_.phone(), r.powerOnUs, r)) throw Failure{std::string(name) + ": no \"SETP\" .. \"DONE\""};
        if (link.droppedBytes() != 0) throw Failure{std::string(name) + ": the host's receive buffer overflowed"};
        if (!rig_.phone().faultLog().empty()) {
            std::string what;
            for (const sim::FaultRecord& f : rig_.phone().faultLog())
                what += "\n  " + std::to_string(f.us) + " us: " + sim::FaultKindName(f.kind) + " uart " +
                        std::to_string(f.uart) + ": " + f.detail;
            throw Failure{std::string(name) + ": the phone logged faults:" + what};
        }
        r.blocks = CountCommands(rig_.phone(), blockToken, r.setupUs, r.doneUs);
        return r;
    }

    Case case_;
    const std::vector<uint8_t>& image_;
    std::unique_ptr<job_test::TestConfig> config_;
    JobRig rig_;
    CountingSerial serial_;
    std::string imagePath_;
};

void PrintJob(const Case& c, const JobResult& r) {
    const uint64_t job = r.doneUs - r.setupUs;
    const uint64_t whole = r.endUs - r.powerOnUs;
    const double capacity = static_cast<double>(r.capacityPorts) * c.rate / 10.0;
    std::printf("  %-6s job %9.3f s: %8.3f of %6.0f B/s (%u port%s x %u / 10) | whole run %9.3f s: %8.3f | "
                "wall %6.2f s\n",
                r.name, Seconds(job), Ratio(kImageBytes, job, r.capacityPorts, c.rate), capacity, r.capacityPorts,
                r.capacityPorts == 1 ? "" : "s", c.rate, Seconds(whole),
                Ratio(kImageBytes, whole, r.capacityPorts, c.rate), r.wallSeconds);
    std::printf("  %-6s     %llu blocks; host port calls: %llu reads (%llu bytes), %llu writes, %llu stream writes\n",
                "", static_cast<unsigned long long>(r.blocks), static_cast<unsigned long long>(r.counts.reads),
                static_cast<unsigned long long>(r.counts.readBytes), static_cast<unsigned long long>(r.counts.writes),
                static_cast<unsigned long long>(r.counts.streamWrites));
}

int Main(int argc, char** argv) {
    bool breakdown = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--breakdown") == 0) {
            breakdown = true;
        } else {
            std::fprintf(stderr, "usage: %s [--breakdown]\n", argv[0]);
            return 2;
        }
    }
    // The headline case last; the gap-0 case just before it has only a flash
    // job (the gap concerns "TXDT" alone).
    const std::vector<Case> cases = {
        {115200, 1, true}, {115200, 1, false}, {921600, 1, true},
        {921600, 1, false}, {921600, 2, false}, {921600, 2, true, true}, {921600, 2, true},
    };
    const std::vector<uint8_t> image = job_test::Pattern(kImageBytes, 7);
    std::printf("flash throughput: %u bytes of pseudo-random data at 0x%x on \"%s\", each job from power-on\n",
                kImageBytes, kImageBase, kPlatform);
    std::printf("figures: payload bytes per second of virtual time / line capacity (ports x rate / 10 B/s);\n"
                "job = phone's first \"SETP\" to its \"DONE\"; whole run = power-on to the run's end;\n"
                "verify and read carry their data on the command port: capacity of one port\n"
                "(a \"VRFY\" sends no image bytes, only the phone's CRC: its ratio is not bounded by 1)\n");
    const auto allStart = std::chrono::steady_clock::now();
    double headline = 0;
    double gapZero = 0;
    try {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            const bool last = i + 1 == cases.size();
            const auto start = std::chrono::steady_clock::now();
            // The wire log of a 4 MiB flash job takes about 100 MB; it is kept
            // only where a breakdown may be printed.
            CaseRunner runner(c, image, breakdown || last);
            std::printf("%s\n", c.Name().c_str());
            const JobResult flash = runner.Flash();
            PrintJob(c, flash);
            const double flashRatio = Ratio(kImageBytes, flash.doneUs - flash.setupUs, c.ports, c.rate);
            if (breakdown || (last && flashRatio < kTarget)) {
                PrintBreakdown(runner.phone(), c, flash.setupUs, flash.doneUs);
                PrintStartup(runner.phone(), flash.powerOnUs, flash.setupUs);
            }
            runner.phone().EnableWireLog(false);
            if (c.gapZero) {
                gapZero = flashRatio;
            } else {
                PrintJob(c, runner.Verify());
                PrintJob(c, runner.Read());
            }
            std::printf("  case wall time %.2f s\n", WallSince(start));
            if (last) headline = flashRatio;
        }
    } catch (const Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "flash throughput: FAILED: %s\n", f.what.c_str());
        return 1;
    }
    std::printf("total wall time %.2f s\n", WallSince(allStart));
    std::printf("stream gap (2 ports, 921600, instant flash, flash job): default %.3f (target %.2f), "
                "gap 0 %.3f (target %.2f) of line capacity; the gap costs %.1f %%\n",
                headline, kTarget, gapZero, kGapZeroTarget, gapZero > 0 ? 100.0 * (1.0 - headline / gapZero) : 0.0);
    std::printf("flash throughput: %.3f of line capacity (2 ports, 921600, instant flash)\n", headline);
    return 0;
}

}  // namespace
}  // namespace flashwire::bench

int main(int argc, char** argv) { return flashwire::bench::Main(argc, argv); }
