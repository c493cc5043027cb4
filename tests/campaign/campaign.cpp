// The fault campaign: scenario generator, runner and invariant checks
// (docs/reliability.md explains the bound and the table).
#include "campaign/campaign.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "flashops/job_rig.h"
#include "job/lifecycle.h"
#include "job/dispatcher.h"
#include "loader/fl_sync.h"
#include "loader/fl_tokens.h"
#include "loader/port_setup.h"
#include "loader/talk_to_flashloader.h"
#include "loader/uart_probe.h"
#include "sim/prng.h"
#include "wire/le32.h"
#include "support/forwarding_port.h"

namespace flashwire::campaign {
namespace {

using job_test::JobRig;

// ---- The campaign's own phones: small chips, so every run takes milliseconds.

constexpr const char* kPlatformDef = R"([camp-active]
BootLoader=active
MIT=0
FlashLoader=loaders/flash_loader.s19
FlashLoaderBaseAddr=0x0
StackBaseAddr=0x0001F000
ChipDesc=1
Flash0=0x0,1,0
SimChip0=0x0042_0x000001C1

[camp-passive]
BootLoader=passive
MIT=0
FlashLoader=loaders/flash_loader.s19
FlashLoaderBaseAddr=0x0
ChipDesc=1
Flash0=0x0,1,0
Flash1=0x100000,1,0
SimChip0=0x0042_0x000001C1
SimChip1=0x0057_0x000088C1

[camp-setup]
BootLoader=passive
MIT=0
SetupLoader=loaders/setup_loader.s19
SetupLoaderBaseAddr=0x80000
FlashLoader=loaders/flash_loader_ram2.s19
FlashLoaderBaseAddr=0x20000
ChipDesc=1
Flash0=0x0,1,0
SimChip0=0x0057_0x000088C1,0x0042_0x000001C1
)";

constexpr const char* kFlashTypes = R"([Description]
0x0042_0x000001C1=Campaign NOR 512 Kbit, bottom boot (AMD style)
0x0057_0x000088C1=Campaign NOR 512 Kbit, uniform 16 KiB (Intel style)

[ChipInfo]
0x0042_0x000001C1=amd,B4x4U16x3,unlockbypass
0x0057_0x000088C1=intel,U16x4,pagebuffer

[Layouts]
B4x4U16x3=4*4,16*3
U16x4=16*4
)";

const std::string& ConfigDir() {
    static const job_test::TestConfig config(kPlatformDef, kFlashTypes);
    static const std::string dir = config.dir();
    return dir;
}

// Where each platform's chips lie (as the phone places them).
std::vector<Range> ChipsOf(const std::string& platform) {
    if (platform == "camp-active") return {{0x0, 0xFFFF}};
    if (platform == "camp-passive") return {{0x0, 0xFFFF}, {0x100000, 0x10FFFF}};
    return {{0x0, 0x1FFFF}};  // camp-setup: two chips back to back
}

// ---- Time bounds, from the written time-outs and retries (docs/reliability.md).

constexpr uint64_t kMs = 1000;
constexpr uint32_t kTries = 5;             // maxTries without /noretry
constexpr uint32_t kRecordsPerReply = 2;   // the simulated loader's "*msg" and "*dmp" per answer
constexpr uint64_t kScanSlackUs = 5 * kMs; // the scanner reads with 5 ms time-outs
constexpr uint64_t kSlowestBaud = 115200;

uint64_t TxUs(uint64_t bytes) { return bytes * 10 * 1'000'000 / kSlowestBaud + 1; }

// One command exchange of time-out t carrying bytes: the reply's five fixed
// waits and scan, each record's scan and four reads, each at most t.
uint64_t ExchangeUs(uint32_t timeoutMs, uint64_t bytes) {
    return (7 + 7 * kRecordsPerReply) * (timeoutMs * kMs + kScanSlackUs) + TxUs(bytes + 64);
}
// One resynchronisation: five "SYNC"s, each waited for kSyncWaitMs.
uint64_t SyncUs() { return kSyncAttempts * (kSyncWaitMs * kMs + kScanSlackUs + TxUs(4)); }
// A retried operation: kTries exchanges with a resynchronisation between two.
uint64_t RetriedUs(uint32_t timeoutMs, uint64_t bytes) {
    return kTries * ExchangeUs(timeoutMs, bytes) + (kTries - 1) * SyncUs();
}

struct SectorSpan {
    uint32_t first, size;
};

// The bound of the flash-loader phase: start-up, then the job, then the end byte.
uint64_t FlashLoaderBoundUs(const Scenario& s, const sim::NorFlash& flash) {
    const uint64_t ports = s.twoPorts ? 2 : 1;
    uint64_t b = kUartProbeMs * kMs + 20 * kMs + SyncUs();               // UART probe, first sync
    b += kInfoAttempts * (ExchangeUs(kInfoTimeoutMs, 36) + SyncUs());     // "INFO"
    if (ports == 2) b += 2 * ExchangeUs(kCheckConnectionTimeoutMs, 4) + SyncUs() + kUartProbeMs * kMs + 20 * kMs;
    b += ports * (2 * ExchangeUs(kBaudTimeoutMs, 8) + SyncUs() + kBaudSettleMs * kMs + SyncUs());  // "BAUD"
    b += RetriedUs(kSetupTimeoutMs, 36) + ExchangeUs(kDoneTimeoutMs, 0);  // "SETP", "DONE"

    // The ranges the job walks, and the sectors they touch.
    std::vector<Range> ranges;
    if (s.job == Job::Read) ranges = s.reads;
    else if (s.job == Job::Flash && s.eraseUnused) ranges = ChipsOf(s.platform);
    else
        for (const Chunk& c : s.image) ranges.push_back({c.address, c.address + static_cast<uint32_t>(c.bytes.size()) - 1});
    for (const Range& r : ranges) {
        if (s.job != Job::Flash) {
            // Verify: 64 KiB blocks; read: blocks of at least 4 KiB, cut at buffer ends.
            const uint64_t len = uint64_t{r.last} - r.first + 1;
            const uint64_t blocks = s.job == Job::Verify ? len / 0x10000 + 2 : len / 0x1000 + 3;
            b += blocks * (s.job == Job::Verify ? RetriedUs(kVerifyTimeoutMs, 8) : RetriedUs(kSuckTimeoutMs, 8));
            continue;
        }
        for (uint32_t a = r.first; a <= r.last;) {
            const auto sector = flash.FindSector(a);
            if (!sector) break;
            // Per sector: diff compares (and may rewind once), then "OPEN",
            // blocks of at least 4 KiB ("TXDT", streamed), "ERAS", "CLOS".
            const uint64_t blocks = sector->size / 0x1000 + 1;
            if (s.diff) b += blocks * RetriedUs(kVerifyTimeoutMs, 8);
            b += RetriedUs(kOpenTimeoutMs, 20) + blocks * RetriedUs(kTransferTimeoutMs, 0x10000 + 48) +
                 RetriedUs(kEraseTimeoutMs, 12) + RetriedUs(kCloseTimeoutMs, 4);
            const uint64_t next = uint64_t{sector->first} + sector->size;
            if (next > r.last) break;
            a = static_cast<uint32_t>(next);
        }
    }
    return b + 1000 * kMs;  // the end byte, closing, reporting
}

// The boot stage is judged by where it waits: pinging, "sync", the rate
// pattern and the attended wait for the rate acknowledgement have no bound
// as written. The campaign aborts a run still in the boot stage at this time.
constexpr uint64_t kBootLimitUs = 120'000 * kMs;
// After the abort request the job must end within one poll period and the
// read time-out under way (the active boot ROM's 1000 ms is the longest).
constexpr uint64_t kAfterAbortUs = (kAbortPollIntervalMs + 1000 + 100) * kMs;
// Far past every bound: the host hangs; the process stops with the replay line.
constexpr uint64_t kHangUs = 24ull * 3600 * 1000 * kMs;

std::string g_replay;  // the run in progress, for a hang

// ---- Watching the host: writes, time-outs, the abort.

struct Watch {
    sim::VirtualLink* link = nullptr;
    FlashContext* directCtx = nullptr;  // the job driver on this thread: the abort goes straight in
    uint64_t flBoundUs = 0;
    bool flStarted = false;
    uint64_t flStartUs = 0;
    std::string lastWrite = "nothing";
    bool lastWriteUnbounded = true;
    std::atomic<bool> wantAbort{false};
    uint64_t wantAbortUs = 0;
    std::atomic<uint64_t> abortSeenUs{0};  // when the host was told (the poll in FlashLoad runs)
    std::string abortAt;                    // what the host was doing then
    bool abortInBoundedStep = false;
    bool overBound = false;
    std::vector<std::string> portProblems;

    void Poll() {
        const uint64_t now = link->NowUs();
        if (wantAbort.load()) {
            const uint64_t seen = abortSeenUs.load();
            if (now > (seen != 0 ? seen : wantAbortUs) + kHangUs) {
                std::fprintf(stderr, "\nfault campaign: the host did not end after the abort\n  replay: %s\n",
                             g_replay.c_str());
                std::abort();
            }
            return;
        }
        if (!flStarted && now >= kBootLimitUs) Raise(now, !lastWriteUnbounded);
        else if (flStarted && now >= flStartUs + flBoundUs) {
            overBound = true;
            Raise(now, true);
        }
    }
    void Raise(uint64_t now, bool bounded) {
        wantAbortUs = now;
        abortInBoundedStep = bounded;
        abortAt = std::string(flStarted ? "flash-loader phase" : "boot stage") + ", last write " + lastWrite;
        wantAbort = true;
        if (directCtx != nullptr) {
            abortSeenUs = now;
            directCtx->abortRequested = true;
        }
    }
    void OnWrite(std::span<const uint8_t> data, uint64_t startUs) {
        const std::string text(data.begin(), data.end());
        if (!flStarted && text == "*") {
            flStarted = true;
            flStartUs = startUs;
        }
        lastWriteUnbounded = !flStarted && (text == "?" || text == "sync" || text == std::string(10, 'r') ||
                                            text == "rr");
        lastWrite = data.size() <= 12 ? "\"" + text + "\"" : std::to_string(data.size()) + " bytes";
    }
};

// Polls the watch on the thread that drives the link only (the dispatcher of
// a FlashLoad run reads the clock too).
class WatchClock final : public platform::Clock {
public:
    WatchClock(platform::Clock& inner, Watch& watch, std::thread::id driver)
        : inner_(inner), watch_(watch), driver_(driver) {}
    uint32_t Ticks() override {
        if (std::this_thread::get_id() == driver_.load()) watch_.Poll();
        return inner_.Ticks();
    }
    void Sleep(uint32_t ms) override {
        inner_.Sleep(ms);
        if (std::this_thread::get_id() == driver_.load()) watch_.Poll();
    }
    // FlashLoad: the protocol thread drives the link; it is the one that opens the ports.
    void SetDriver(std::thread::id id) { driver_ = id; }

private:
    platform::Clock& inner_;
    Watch& watch_;
    std::atomic<std::thread::id> driver_;
};

class WatchPort final : public test_support::ForwardingPort {
public:
    WatchPort(std::unique_ptr<platform::SerialPort> inner, Watch& watch, uint32_t number)
        : ForwardingPort(std::move(inner)), watch_(watch), number_(number) {}
    ~WatchPort() override {
        // A scoped time-out (command, scanner) left behind, or the
        // non-blocking mode, shows here; the stages' own settings may stay.
        const uint32_t t = timeouts_.readTotalConstant;
        if (timeouts_.readInterval != 0 || timeouts_.readTotalMultiplier != 0)
            watch_.portProblems.push_back("port " + std::to_string(number_) + " closed non-blocking");
        else if (t != 1000 && t != 500 && t != 250 && t != kProbeReadTimeoutMsForCheck)
            watch_.portProblems.push_back("port " + std::to_string(number_) + " closed with read time-out " +
                                          std::to_string(t) + " ms");
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return ForwardingPort::SetTimeouts(timeouts);
    }
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        watch_.OnWrite(data, watch_.link->NowUs());
        return ForwardingPort::Write(data, sent);
    }
    bool BeginWrite(std::span<const uint8_t> data) override {
        watch_.OnWrite(data, watch_.link->NowUs());
        return ForwardingPort::BeginWrite(data);
    }

    static constexpr uint32_t kProbeReadTimeoutMsForCheck = 10;  // left by the flash loader's UART probe

private:
    void AfterWait() override { watch_.Poll(); }

    Watch& watch_;
    uint32_t number_;
    platform::CommTimeouts timeouts_{};
};

class WatchSerial final : public platform::SerialProvider {
public:
    WatchSerial(platform::SerialProvider& inner, Watch& watch, WatchClock& clock)
        : inner_(inner), watch_(watch), clock_(clock) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override {
        clock_.SetDriver(std::this_thread::get_id());
        auto port = inner_.Open(portNumber, overlapped, systemError);
        if (!port) return port;
        return std::make_unique<WatchPort>(std::move(port), watch_, portNumber);
    }

private:
    platform::SerialProvider& inner_;
    Watch& watch_;
    WatchClock& clock_;
};

// ---- Scenarios

std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

std::vector<uint8_t> Bytes(sim::Prng& rng, std::size_t n) {
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out) b = static_cast<uint8_t>(rng.Next());
    return out;
}

bool Overlaps(const Range& a, const Range& b) { return a.first <= b.last && b.first <= a.last; }

// A range of length in [lo, hi] inside chip, clear of taken, aligned to 16.
bool PlaceRange(sim::Prng& rng, const Range& chip, uint32_t lo, uint32_t hi, const std::vector<Range>& taken,
                Range& out) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const uint32_t len = static_cast<uint32_t>(rng.Range(lo, hi));
        const uint32_t span = chip.last - chip.first + 1;
        if (len > span) continue;
        const uint32_t at = chip.first + static_cast<uint32_t>(rng.Below((span - len) / 16 + 1)) * 16;
        const Range r{at, at + len - 1};
        if (std::none_of(taken.begin(), taken.end(), [&](const Range& t) { return Overlaps(t, r); })) {
            out = r;
            return true;
        }
    }
    return false;
}

const std::vector<std::string> kActiveTokens = {"O", "K", "ZE", "R", "B", "N", "P"};
const std::vector<std::string> kPassiveTokens = {"!", "-()-", "info", "data", "done", "syn!"};
const std::vector<std::string> kLoaderTokens = {"#A",   "#B",   "syn!", "INFO", "CHKC", "BAUD", "SETP", "OPEN",
                                                "TXDT", "ERAS", "CLOS", "VRFY", "SUCK", "DONE", "*msg", "*dmp"};

const char* KindName(sim::ReplyFaultKind k) {
    return k == sim::ReplyFaultKind::Refuse ? "refuse" : k == sim::ReplyFaultKind::Silence ? "silence" : "badcrc";
}

void AddFault(Scenario& s, FaultClass kind, sim::Prng& rng, std::ostringstream& d);

void AddFaults(Scenario& s, sim::Prng& rng) {
    std::ostringstream d;
    if (s.kind != FaultClass::Mixed) {
        AddFault(s, s.kind, rng, d);
    } else {
        const uint64_t n = rng.Range(2, 3);
        for (uint64_t i = 0; i < n; ++i) {
            const auto kind = static_cast<FaultClass>(rng.Range(1, static_cast<uint64_t>(FaultClass::BaudLost)));
            if (i) d << "; ";
            AddFault(s, kind, rng, d);
        }
    }
    s.faultText = d.str();
}

void AddFault(Scenario& s, FaultClass kind, sim::Prng& rng, std::ostringstream& d) {
    sim::FaultConfig& f = s.faults;
    auto direction = [&] { return rng.Chance(0.5) ? sim::Direction::ToPhone : sim::Direction::ToHost; };
    auto dirName = [](sim::Direction x) { return x == sim::Direction::ToPhone ? "to-phone" : "to-host"; };
    // Per-byte rates from 1 in 100 000 to 1 in 500 (a table: no libm in the draw).
    static constexpr double kRates[] = {1e-5, 2e-5, 5e-5, 1e-4, 2e-4, 5e-4, 1e-3, 2e-3};
    switch (kind) {
    case FaultClass::BitFlip:
    case FaultClass::Drop:
    case FaultClass::Garbage: {
        const sim::Direction dir = direction();
        const unsigned uart = s.twoPorts && rng.Chance(0.4) ? 1 : 0;
        const double rate = kRates[rng.Below(std::size(kRates))];
        sim::LineFaults& line = f.Line(dir, uart);
        (kind == FaultClass::BitFlip ? line.bitFlip : kind == FaultClass::Drop ? line.drop : line.garbage) = rate;
        d << FaultClassName(kind) << " " << dirName(dir) << " uart" << uart << " rate " << rate;
        break;
    }
    case FaultClass::Stall: {
        sim::StallFault st;
        st.direction = direction();
        st.uart = s.twoPorts && rng.Chance(0.3) ? 1 : 0;
        st.atByte = rng.Range(0, 60000);
        st.durationUs = rng.Range(1, 12000) * kMs;
        f.stalls.push_back(st);
        d << "stall " << dirName(st.direction) << " uart" << st.uart << " at byte " << st.atByte << " for "
          << st.durationUs / kMs << " ms";
        break;
    }
    case FaultClass::Refuse:
    case FaultClass::Silence:
    case FaultClass::BadCrc: {
        const auto& boot = s.platform == "camp-active" ? kActiveTokens : kPassiveTokens;
        const uint64_t n = rng.Range(1, 2);
        for (uint64_t i = 0; i < n; ++i) {
            sim::ReplyFault r;
            r.token = rng.Chance(0.25) ? boot[rng.Below(boot.size())] : kLoaderTokens[rng.Below(kLoaderTokens.size())];
            r.occurrence = static_cast<uint32_t>(rng.Range(0, 3));
            r.kind = kind == FaultClass::Refuse    ? sim::ReplyFaultKind::Refuse
                     : kind == FaultClass::Silence ? sim::ReplyFaultKind::Silence
                                                     : sim::ReplyFaultKind::BadCrc;
            // Now and then a burst of consecutive answers, so the retries run out.
            const uint32_t burst = rng.Chance(0.3) ? static_cast<uint32_t>(rng.Range(2, 6)) : 1;
            for (uint32_t k = 0; k < burst; ++k, ++r.occurrence) f.replies.push_back(r);
            d << (i ? ", " : "") << KindName(r.kind) << " " << r.token << "#" << r.occurrence - burst;
            if (burst > 1) d << "-" << r.occurrence - 1;
        }
        break;
    }
    case FaultClass::BaudLost: {
        sim::ReplyFault r;
        r.token = "BAUD";
        r.occurrence = static_cast<uint32_t>(rng.Range(0, s.twoPorts ? 1 : 0));
        r.kind = sim::ReplyFaultKind::Silence;
        f.replies.push_back(r);
        d << "BAUD answer #" << r.occurrence << " lost";
        break;
    }
    case FaultClass::Silent:
        if (rng.Chance(0.5)) d << "silent at command " << (f.silentAtCommand = rng.Range(1, 400));
        else d << "silent at " << (f.silentAtUs = rng.Range(1, 8000) * kMs) / kMs << " ms";
        break;
    case FaultClass::Reboot:
        if (rng.Chance(0.5)) d << "reboot at command " << (f.rebootAtCommand = rng.Range(1, 400));
        else d << "reboot at " << (f.rebootAtUs = rng.Range(1, 8000) * kMs) / kMs << " ms";
        break;
    case FaultClass::StuckBit: {
        // Mostly where the job looks; the phone's content is stored through it.
        sim::StuckBits b;
        const std::vector<Range>& where = s.job == Job::Read ? s.reads : std::vector<Range>{};
        if (!s.image.empty() && rng.Chance(0.8)) {
            const Chunk& c = s.image[rng.Below(s.image.size())];
            b.address = c.address + static_cast<uint32_t>(rng.Below(c.bytes.size()));
        } else if (!where.empty()) {
            const Range& r = where[rng.Below(where.size())];
            b.address = static_cast<uint32_t>(rng.Range(r.first, r.last));
        } else {
            const auto chips = ChipsOf(s.platform);
            const Range& c = chips[rng.Below(chips.size())];
            b.address = static_cast<uint32_t>(rng.Range(c.first, c.last));
        }
        b.mask = static_cast<uint8_t>(1u << rng.Below(8));
        f.stuckBits.push_back(b);
        d << "stuck bit mask " << Hex(b.mask) << " at " << Hex(b.address);
        break;
    }
    case FaultClass::None:
    case FaultClass::Mixed:
    case FaultClass::Count: d << "none"; break;
    }
}

}  // namespace

const char* JobName(Job job) {
    switch (job) {
    case Job::Flash: return "flash";
    case Job::Verify: return "verify";
    case Job::Read: return "read";
    }
    return "?";
}

const char* FaultClassName(FaultClass kind) {
    static const char* const kNames[] = {"none",   "bit-flip", "drop",   "garbage", "stall",     "refuse",
                                         "silence", "bad-crc", "silent", "reboot",  "stuck-bit", "baud-lost", "mixed"};
    const auto i = static_cast<std::size_t>(kind);
    return i < std::size(kNames) ? kNames[i] : "?";
}

std::string Scenario::Options() const {
    std::ostringstream o;
    o << (twoPorts ? "/com=1,2 /maxspeed=" + std::to_string(baud) + "," + std::to_string(baud)
                   : "/com=1 /maxspeed=" + std::to_string(baud));
    o << " /mode=" << JobName(job);
    if (job == Job::Flash) {
        o << " /diff=" << (diff ? 1 : 0) << " /extprotect=" << (extProtect ? 1 : 0)
          << " /eraseunused=" << (eraseUnused ? 1 : 0);
        for (const Range& r : reserved) o << " /reserved=" << Hex(r.first) << "-" << Hex(r.last);
    }
    for (const Range& r : reads) o << " /read=" << Hex(r.first) << "-" << Hex(r.last);
    if (unattended) o << " /unattended=1";
    if (noRetry) o << " /noretry=1";
    return o.str();
}

std::string Scenario::Describe() const {
    std::ostringstream d;
    d << "seed " << seed << ": " << platform << " " << JobName(job) << (viaFlashLoad ? " (FlashLoad)" : "")
      << (loaderMessages ? " (loader records)" : "") << "; " << Options() << "; image";
    for (const Chunk& c : image) d << " " << Hex(c.address) << "+" << Hex(static_cast<uint32_t>(c.bytes.size()));
    if (image.empty()) d << " none";
    d << "; fault: " << faultText;
    return d.str();
}

Scenario MakeScenario(uint64_t seed) {
    sim::Prng rng(sim::DeriveSeed(seed, sim::Fnv1a64("whole-job campaign")));
    Scenario s;
    s.seed = seed;
    static const char* const kPlatforms[] = {"camp-active", "camp-passive", "camp-setup"};
    s.platform = kPlatforms[rng.Below(3)];
    s.job = static_cast<Job>(rng.Below(3));
    s.kind = static_cast<FaultClass>(rng.Below(static_cast<uint64_t>(FaultClass::Count)));
    s.viaFlashLoad = rng.Chance(0.2);
    s.baud = rng.Chance(0.5) ? 115200 : 921600;
    s.twoPorts = rng.Chance(0.35);
    s.unattended = s.platform == "camp-active" && rng.Chance(0.5);
    s.loaderMessages = rng.Chance(0.3);
    s.noRetry = rng.Chance(0.1);
    const std::vector<Range> chips = ChipsOf(s.platform);

    // The phone's flash before the job: every chip filled with bytes of its own.
    for (const Range& c : chips) s.phoneFlash.push_back({c.first, Bytes(rng, c.last - c.first + 1)});
    auto phoneByte = [&](uint32_t a) -> uint8_t& {
        for (Chunk& c : s.phoneFlash)
            if (a >= c.address && a - c.address < c.bytes.size()) return c.bytes[a - c.address];
        static uint8_t none;
        return none;
    };

    std::vector<Range> taken;
    if (s.job == Job::Read) {
        for (uint64_t n = rng.Range(1, 2); n > 0; --n) {
            Range r;
            if (PlaceRange(rng, chips[rng.Below(chips.size())], 1, 0x6000, taken, r)) {
                taken.push_back(r);
                s.reads.push_back(r);
            }
        }
        std::sort(s.reads.begin(), s.reads.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    } else {
        for (uint64_t n = rng.Range(1, 3); n > 0; --n) {
            Range r;
            if (!PlaceRange(rng, chips[rng.Below(chips.size())], 1, 0x5000, taken, r)) continue;
            taken.push_back(r);
            Chunk c{r.first, Bytes(rng, r.last - r.first + 1)};
            // Some chunks equal what the phone holds (diff skips them; verify passes).
            const bool same = s.job == Job::Verify ? rng.Chance(0.7) : rng.Chance(0.3);
            if (same) {
                for (uint32_t i = 0; i < c.bytes.size(); ++i) c.bytes[i] = phoneByte(r.first + i);
                if (s.job == Job::Verify && rng.Chance(0.15)) c.bytes[rng.Below(c.bytes.size())] ^= 0x40;
            }
            s.image.push_back(std::move(c));
        }
        if (s.job == Job::Flash) {
            s.diff = rng.Chance(0.4);
            s.extProtect = rng.Chance(0.3);
            s.eraseUnused = rng.Chance(0.2);
            for (uint64_t n = rng.Below(3); n > 0; --n) {
                Range r;
                // A one-byte range is no valid /reserved value (its first
                // address must lie below its last): such a draw is left out.
                if (PlaceRange(rng, chips[rng.Below(chips.size())], 1, 0x3000, taken, r) && r.first < r.last) {
                    taken.push_back(r);
                    s.reserved.push_back(r);
                }
            }
        }
    }
    AddFaults(s, rng);
    // The options take ranges of two bytes or more: a one-byte range drawn
    // above is left out (without a further draw, so the seed stays as it was).
    const auto oneByte = [](const Range& r) { return r.first == r.last; };
    std::erase_if(s.reserved, oneByte);
    std::erase_if(s.reads, oneByte);
    // File faults draw from a stream of their own, so that the rest of every
    // seed's scenario stays as it was.
    if (s.kind == FaultClass::None) {
        sim::Prng files(sim::DeriveSeed(seed, sim::Fnv1a64("host file faults")));
        if (files.Chance(0.75)) {
            uint64_t bytes = 0;  // the job's data; its S-record text is more than twice as long
            for (const Chunk& c : s.image) bytes += c.bytes.size();
            for (const Range& r : s.reads) bytes += r.last - r.first + 1;
            if (s.job == Job::Read)
                s.fileFault = files.Chance(0.5) ? sim::FileFault::DiskFull : sim::FileFault::ShortWrite;
            else
                s.fileFault = sim::FileFault::UnreadablePart;
            s.fileFaultAt = files.Below(2 * bytes + 1);
            s.faultText += std::string(s.faultText.empty() ? "" : "; ") + "file: " + sim::FileFaultName(s.fileFault) +
                           " at " + std::to_string(s.fileFaultAt);
        }
    }
    return s;
}

namespace {

std::string DescribeDiff(const std::string& what, uint32_t address, uint8_t want, uint8_t got) {
    char b[160];
    std::snprintf(b, sizeof b, "%s: 0x%08X holds 0x%02X, expected 0x%02X", what.c_str(), address, got, want);
    return b;
}

// The whole phone's flash of the given chips.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Snapshot(const sim::NorFlash& flash, const std::vector<Range>& chips) {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
    for (const Range& c : chips) out.emplace_back(c.first, flash.Read(c.first, c.last - c.first + 1));
    return out;
}

bool FileLooksComplete(const std::string& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    return last.size() >= 2 && last[0] == 'S' && (last[1] == '7' || last[1] == '8' || last[1] == '9');
}

// The host of a FlashLoad run: every line, and the abort when the watch asks
// for it; with `calls`, every callback in order with its virtual time.
struct LoadHost {
    FlashHandle handle{};
    std::vector<std::string> lines;
    std::vector<std::string>* calls = nullptr;
    Watch* watch = nullptr;
    platform::Clock* clock = nullptr;

    static LoadHost& Of(FlashHandle* h) { return *reinterpret_cast<LoadHost*>(h); }
    void Call(const std::string& what) {
        if (calls) calls->push_back(std::to_string(clock->Ticks()) + " " + what);
    }
    void Install() {
        handle.message = [](FlashHandle* h, int32_t level, const char* text) -> int32_t {
            Of(h).lines.push_back(std::to_string(level) + ": " + text);
            Of(h).Call("message " + Of(h).lines.back());
            return 0;
        };
        handle.status = [](FlashHandle* h, const char* text) -> int32_t {
            Of(h).Call(std::string("status ") + text);
            return 0;
        };
        handle.progressBegin = [](FlashHandle* h, const char* text, uint32_t total) -> int32_t {
            Of(h).Call("begin " + std::string(text) + " " + std::to_string(total));
            return 0;
        };
        handle.progressUpdate = [](FlashHandle* h, uint32_t done, uint32_t percent) -> int32_t {
            Of(h).Call("update " + std::to_string(done) + " " + std::to_string(percent));
            return 0;
        };
        handle.progressEnd = [](FlashHandle* h) -> int32_t {
            Of(h).Call("end");
            return 0;
        };
        handle.abortPoll = [](FlashHandle* h) -> int32_t {
            LoadHost& self = Of(h);
            const bool abort = self.watch->wantAbort.load();
            self.Call(abort ? "poll 1" : "poll 0");
            if (!abort) return 0;
            uint64_t expected = 0;
            self.watch->abortSeenUs.compare_exchange_strong(expected, uint64_t{self.clock->Ticks()} * kMs);
            return 1;
        };
    }
};

// FNV-1a over the bytes of the wire log: time, direction, UART and byte of each.
uint64_t WireHash(const std::vector<sim::WireRecord>& wire) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i, v >>= 8) h = (h ^ (v & 0xFF)) * 0x100000001b3ull;
    };
    for (const sim::WireRecord& r : wire) {
        mix(r.us, 8);
        mix(static_cast<uint64_t>(r.direction), 1);
        mix(r.uart, 1);
        mix(r.byte, 1);
    }
    return h;
}

// The text with every occurrence of what replaced by with.
std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
    for (std::size_t at = 0; !what.empty() && (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

}  // namespace

Outcome Run(const Scenario& s, bool verbose, bool fingerprint) {
    Outcome out;
    g_replay = ReplayCommand(s.seed);
    auto violate = [&](const std::string& why) { out.violations.push_back(why); };
    const std::vector<Range> chips = ChipsOf(s.platform);

    JobRig rig(
        s.platform, s.seed,
        [&](sim::PhoneConfig& config) {
            config.faults = s.faults;
            config.flashLoader.textMessages = s.loaderMessages;
            config.flashLoader.memoryDumps = s.loaderMessages;
        },
        ConfigDir());
    if (!rig.configError.empty()) {
        violate("phone: " + rig.configError);
        return out;
    }
    sim::Phone& phone = rig.phone();
    for (const Chunk& c : s.phoneFlash) phone.flash().Store(c.address, c.bytes);
    for (const sim::StuckBits& b : s.faults.stuckBits) phone.flash().SetStuckBits(b.address, b.mask);
    const auto before = Snapshot(phone.flash(), chips);
    phone.EnableWireLog(fingerprint);

    Watch watch;
    watch.link = &rig.rig->link;
    watch.flBoundUs = FlashLoaderBoundUs(s, phone.flash());
    out.flashLoaderBoundUs = watch.flBoundUs;
    WatchClock clock(rig.rig->clock, watch, std::this_thread::get_id());
    WatchSerial serial(rig.rig->serial, watch, clock);

    const std::string file = s.job == Job::Read ? "" : rig.WriteImage([&] {
        job_test::Image image;
        for (const Chunk& c : s.image) image[c.address] = c.bytes;
        return image;
    }());
    const std::string save = rig.dir() + "/read.s19";
    sim::FaultFiles files(platform::StandardFiles(),
                          {s.fileFault, s.job == Job::Read ? save : file, s.fileFaultAt});
    std::string options = s.Options() + (s.job == Job::Read ? " /savefile=" + save : " /file=" + file);

    std::vector<std::string> lines;
    uint32_t depthAfter = 0;
    if (!s.viaFlashLoad) {
        FlashContext& ctx = rig.ctx();
        ctx.services.clock = &clock;
        ctx.services.serial = &serial;
        ctx.services.files = &files;
        rig.rig->trigger.abortAtMs = UINT32_MAX;  // the watch decides
        watch.directCtx = &ctx;
        if (!rig.Options(options)) {
            violate("options refused: " + options);
            return out;
        }
        out.result = rig.Run();
        depthAfter = ctx.priorityStack.depth;
        if (rig.rig->threading.current != platform::kPriorityNormal)
            violate("thread priority left at " + std::to_string(rig.rig->threading.current));
        for (const auto& l : rig.rig->host.lines) lines.push_back(std::to_string(l.level) + ": " + l.text);
    } else {
            // FlashLoad on the same phone: the threads, the ring and abortPoll,
        // the threads taking turns on the virtual clock.
        rig.rig->trigger.abortAtMs = UINT32_MAX;
        LoadHost host;
        host.watch = &watch;
        host.clock = &rig.rig->link.clock();
        if (fingerprint) host.calls = &out.callbacks;
        host.handle.size = sizeof(FlashHandle);
        rig.rig->link.UseVirtualThreads();
        platform::Services services = rig.rig->link.Services();
        services.clock = &clock;
        services.serial = &serial;
        services.files = &files;
        clock.SetDriver(std::thread::id());  // until the protocol thread opens a port
        FlashOptions opts{};
        if (InitHandle(&host.handle, &opts, services) != SUCCESS) {
            violate("InitHandle failed");
            return out;
        }
        FlashSetDataDirectory(&host.handle, ConfigDir().c_str());
        host.Install();
        const std::string all = "/platform=" + s.platform + " /debug=1 " + options;
        if (FlashParseOptionString(&host.handle, all.c_str(), nullptr, &opts) != SUCCESS) {
            violate("options refused: " + all);
            FlashFinish(&host.handle);
            return out;
        }
        host.lines.clear();
        out.callbacks.clear();
        out.result = FlashLoad(&host.handle, &opts);
        FlashContext& ctx = *ContextOf(&host.handle);
        depthAfter = ctx.priorityStack.depth;
        // Every record delivered, the dispatcher's end last, nothing dropped.
        const std::vector<std::string> tail = {"0: ThreadProtocol finished",
                                               "0: ThreadProtocol: " + std::to_string(out.result),
                                               "0: ThreadGUI finished"};
        // A job that ends at once (an unreadable image) may end before the
        // dispatcher's first round: its "started" line then follows the job's.
        std::vector<std::string> delivered = host.lines;
        std::erase(delivered, std::string("0: ThreadGUI started"));
        if (delivered.size() < 3 || !std::equal(tail.begin(), tail.end(), delivered.end() - 3))
            violate("the ring did not deliver the job's last records");
        if (ctx.ring.readPos.load() != ctx.ring.writePos.load()) violate("records left in the ring");
        if (ctx.ring.droppedRecords != 0 ||
            std::any_of(host.lines.begin(), host.lines.end(), [](const std::string& l) { return l.find("Dropped ") != std::string::npos; }))
            violate("the ring dropped records");
        if (ctx.dispatcherExitCode != 0) violate("dispatcher ended with " + std::to_string(ctx.dispatcherExitCode));
        for (const PortRecord& p : ctx.ports)
            if (p.handle != nullptr) violate("a port left open");
        lines = std::move(host.lines);
        FlashFinish(&host.handle);
    }
    const uint64_t endUs = rig.rig->link.NowUs();
    out.totalUs = endUs;
    if (fingerprint) {
        out.wireHash = WireHash(phone.wireLog());
        out.wireBytes = phone.wireLog().size();
        if (!s.viaFlashLoad) out.callbacks = lines;
        // The run's own temporary directory differs from run to run.
        for (std::string& c : out.callbacks) c = ReplaceAll(c, rig.dir(), "<dir>");
    }
    if (depthAfter != 0) violate("priority stack depth " + std::to_string(depthAfter) + " after the job");
    for (const std::string& p : watch.portProblems) violate(p);

    // ---- Time.
    if (watch.flStarted) out.flashLoaderUs = endUs - watch.flStartUs;
    if (watch.wantAbort.load()) {
        const uint64_t seen = watch.abortSeenUs.load();
        if (watch.overBound)
            violate("the flash-loader phase ran past its bound of " + std::to_string(watch.flBoundUs / kMs) + " ms");
        else if (watch.abortInBoundedStep)
            violate("still in the boot stage at " + std::to_string(kBootLimitUs / kMs) + " ms, not in an unbounded wait (" +
                    watch.abortAt + ")");
        else
            out.abortedWait = true;
        if (seen == 0) violate("the abort request never reached the job");
        else if (endUs > seen && endUs - seen > kAfterAbortUs)
            violate("ended " + std::to_string((endUs - seen) / kMs) + " ms after the abort request");
        if (out.result != ERR_ABORT) violate("aborted in a wait but returned " + std::to_string(out.result));
    } else if (watch.flStarted && out.flashLoaderUs > watch.flBoundUs) {
        violate("the flash-loader phase took " + std::to_string(out.flashLoaderUs / kMs) + " ms, bound " +
                std::to_string(watch.flBoundUs / kMs));
    }

    // ---- Flash contents.
    const sim::NorFlash& flash = phone.flash();
    std::vector<Range> imageRanges;  // where a flash job may write
    std::map<uint32_t, uint8_t> expect;  // what SUCCESS must leave there
    if (s.job == Job::Flash) {
        if (s.eraseUnused) {
            // The chips minus the reserved ranges: the image's bytes, 0xFF elsewhere.
            for (const Range& c : chips)
                for (uint32_t a = c.first;; ++a) {
                    const bool reserved = std::any_of(s.reserved.begin(), s.reserved.end(),
                                                      [&](const Range& r) { return a >= r.first && a <= r.last; });
                    if (!reserved) expect[a] = 0xFF;
                    if (a == c.last) break;
                }
        }
        for (const Chunk& c : s.image)
            for (uint32_t i = 0; i < c.bytes.size(); ++i) expect[c.address + i] = c.bytes[i];
    }
    if (out.result == SUCCESS && s.job != Job::Read) {
        for (const Chunk& c : s.image) {
            const auto held = flash.Read(c.address, static_cast<uint32_t>(c.bytes.size()));
            const auto m = std::mismatch(held.begin(), held.end(), c.bytes.begin());
            if (m.first != held.end()) {
                const uint32_t a = c.address + static_cast<uint32_t>(m.first - held.begin());
                violate(DescribeDiff("SUCCESS but the image differs", a, *m.second, *m.first));
                break;
            }
        }
        if (s.job == Job::Flash && s.eraseUnused)
            for (const auto& [a, v] : expect)
                if (flash.ReadByte(a) != v) {
                    violate(DescribeDiff("SUCCESS but unused flash not erased", a, v, flash.ReadByte(a)));
                    break;
                }
    }
    // Outside the image's ranges nothing changes, whatever the result. A flash
    // job may change only the bytes it was given (with eraseUnused: all but the
    // reserved ranges); the phone's stuck bits read as they did before.
    // One thing no host can undo: with extProtect the phone erases a sector on
    // "ERAS" and writes it back only on "CLOS"; a phone that stops answering
    // in between leaves that sector erased. Such bytes may read 0xFF after a
    // failed job (counted apart, docs/reliability.md).
    std::vector<Range> erasedUnclosed;
    if (s.job == Job::Flash && s.extProtect && out.result != SUCCESS)
        for (const sim::CommandRecord& c : phone.commandLog())
            if (c.token == "ERAS" && c.payload.size() >= 12) {
                const uint32_t first = LoadLe32(c.payload.data() + 4), length = LoadLe32(c.payload.data() + 8);
                if (length != 0) erasedUnclosed.push_back({first, first + length - 1});
            }
    for (const auto& [first, old] : before) {
        const auto now = flash.Read(first, static_cast<uint32_t>(old.size()));
        for (uint32_t i = 0; i < old.size(); ++i) {
            const uint32_t a = first + i;
            if (now[i] == old[i] || (s.job == Job::Flash && expect.count(a))) continue;
            if (now[i] == 0xFF && std::any_of(erasedUnclosed.begin(), erasedUnclosed.end(),
                                              [&](const Range& r) { return a >= r.first && a <= r.last; })) {
                out.sectorLostWithPhone = true;
                continue;
            }
            const bool reserved = std::any_of(s.reserved.begin(), s.reserved.end(),
                                              [&](const Range& r) { return a >= r.first && a <= r.last; });
            violate(DescribeDiff(reserved ? "a reserved byte changed" : "a byte outside the image changed", a, old[i], now[i]));
            break;
        }
    }
    if (s.job == Job::Read) {
        std::error_code ec;
        const bool exists = std::filesystem::exists(save, ec);
        if (out.result == SUCCESS) {
            decltype(job_test::ReadSRecordBytes(save)) saved;
            try {
                saved = job_test::ReadSRecordBytes(save);
            } catch (const std::exception&) {
                violate("the saved file is no valid S-record file");
            }
            uint64_t expected = 0;
            for (const Range& r : s.reads) expected += r.last - r.first + 1;
            if (saved.size() != expected) violate("the saved file holds " + std::to_string(saved.size()) + " bytes, not " + std::to_string(expected));
            for (const auto& [a, v] : saved)
                if (flash.ReadByte(a) != v) {
                    violate(DescribeDiff("the saved file differs from the phone", a, flash.ReadByte(a), v));
                    break;
                }
        } else if (exists && FileLooksComplete(save)) {
            violate("a failed read job left a file that looks complete");
        }
    }
    // ---- Files. A fault that struck the host's files fails the job; an image
    // that could not be read whole is flashed nowhere, not even in part.
    if (files.hits() > 0) {
        if (out.result == SUCCESS) violate(std::string("SUCCESS although the file fault struck (") + sim::FileFaultName(s.fileFault) + ")");
        if (s.fileFault == sim::FileFault::UnreadablePart) {
            for (const auto& [first, old] : before)
                if (flash.Read(first, static_cast<uint32_t>(old.size())) != old) {
                    violate("the phone's flash changed although the image could not be read");
                    break;
                }
            for (const sim::CommandRecord& c : phone.commandLog())
                if (c.token == "ERAS" || c.token == "OPEN" || c.token == "TXDT") {
                    violate("the job sent " + c.token + " although the image could not be read");
                    break;
                }
        }
    }
    if (out.result == SUCCESS && s.job == Job::Flash) {
        // The phone cannot hold a 1 in a stuck bit: a success must not need one.
        for (const sim::StuckBits& b : s.faults.stuckBits)
            if (expect.count(b.address) && (expect[b.address] & b.mask) != 0)
                violate("SUCCESS although a stuck bit at " + Hex(b.address) + " must read 1");
    }

    if (verbose || !out.violations.empty()) {
        std::ostringstream log;
        log << s.Describe() << "\nresult " << out.result << " at " << endUs / kMs << " ms"
            << (watch.flStarted ? ", flash-loader phase " + std::to_string(out.flashLoaderUs / kMs) + " ms of bound " +
                                      std::to_string(watch.flBoundUs / kMs) + " ms"
                                : std::string(", the flash-loader phase not reached"))
            << (watch.wantAbort.load() ? ", aborted (" + watch.abortAt + ")" : std::string()) << "\n";
        if (verbose) {
            log << "-- fault log\n";
            for (const sim::FaultRecord& f : phone.faultLog())
                log << f.us / kMs << " ms " << sim::FaultKindName(f.kind) << " uart" << f.uart << ": " << f.detail << "\n";
            log << "-- command log\n";
            for (const sim::CommandRecord& c : phone.commandLog())
                if (c.token != "?")
                    log << c.us / kMs << " ms " << sim::StageName(c.stage) << " uart" << c.uart << " " << c.token
                        << (c.wellFormed ? "" : " (malformed)") << "\n";
            log << "-- host lines\n";
            for (const std::string& l : lines) log << l << "\n";
        }
        out.log = log.str();
    }
    g_replay.clear();
    return out;
}

std::string ReplayCommand(uint64_t seed) { return "./bench/fault_campaign --replay " + std::to_string(seed); }

void Table::Add(const Scenario& s, const Outcome& o) {
    // File faults have rows of their own, after the faults of the line.
    const int kind = s.fileFault != sim::FileFault::None ? static_cast<int>(FaultClass::Count) + static_cast<int>(s.fileFault)
                                                         : static_cast<int>(s.kind);
    Row& r = rows_[{kind, static_cast<int>(s.job)}];
    ++runs_;
    ++r.runs;
    r.viaFlashLoad += s.viaFlashLoad;
    if (!o.violations.empty()) {
        ++r.violations;
        ++violations_;
    } else if (o.abortedWait) {
        ++r.abortedWaits;
    } else if (o.result == SUCCESS) {
        ++r.successes;
    } else if (o.sectorLostWithPhone) {
        ++r.cleanFailures;
        ++r.sectorsLost;
    } else {
        ++r.cleanFailures;
    }
    if (o.flashLoaderBoundUs != 0 && o.flashLoaderUs != 0) {
        const double ratio = static_cast<double>(o.flashLoaderUs) / static_cast<double>(o.flashLoaderBoundUs);
        if (ratio > r.worstRatio) {
            r.worstRatio = ratio;
            r.worstUs = o.flashLoaderUs;
            r.worstBoundUs = o.flashLoaderBoundUs;
        }
    }
}

std::array<uint64_t, 3> Table::Ends() const {
    std::array<uint64_t, 3> ends{};
    for (const auto& [key, r] : rows_) {
        ends[0] += r.successes;
        ends[1] += r.cleanFailures;
        ends[2] += r.abortedWaits;
    }
    return ends;
}

std::string Table::Render() const {
    std::ostringstream t;
    t << "| fault | job | runs | FlashLoad | success | clean failure | (of which sector erased by a lost phone) | aborted wait | violations | worst flash-loader phase / bound |\n";
    t << "|---|---|---:|---:|---:|---:|---:|---:|---:|---|\n";
    Row total;
    char worst[96];
    for (const auto& [key, r] : rows_) {
        std::snprintf(worst, sizeof worst, "%.1f s / %.0f s (%.4f)", static_cast<double>(r.worstUs) / 1e6,
                      static_cast<double>(r.worstBoundUs) / 1e6, r.worstRatio);
        const int fileFault = key.first - static_cast<int>(FaultClass::Count);
        t << "| " << (fileFault > 0 ? std::string("file: ") + sim::FileFaultName(static_cast<sim::FileFault>(fileFault))
                                    : std::string(FaultClassName(static_cast<FaultClass>(key.first)))) << " | " << JobName(static_cast<Job>(key.second))
          << " | " << r.runs << " | " << r.viaFlashLoad << " | " << r.successes << " | " << r.cleanFailures << " | "
          << r.sectorsLost << " | " << r.abortedWaits << " | " << r.violations << " | " << (r.worstUs ? worst : "-") << " |\n";
        total.runs += r.runs;
        total.viaFlashLoad += r.viaFlashLoad;
        total.successes += r.successes;
        total.cleanFailures += r.cleanFailures;
        total.sectorsLost += r.sectorsLost;
        total.abortedWaits += r.abortedWaits;
        total.violations += r.violations;
        if (r.worstRatio > total.worstRatio) {
            total.worstRatio = r.worstRatio;
            total.worstUs = r.worstUs;
            total.worstBoundUs = r.worstBoundUs;
        }
    }
    std::snprintf(worst, sizeof worst, "%.1f s / %.0f s (%.4f)", static_cast<double>(total.worstUs) / 1e6,
                  static_cast<double>(total.worstBoundUs) / 1e6, total.worstRatio);
    t << "| **all** | | " << total.runs << " | " << total.viaFlashLoad << " | " << total.successes << " | "
      << total.cleanFailures << " | " << total.sectorsLost << " | " << total.abortedWaits << " | " << total.violations << " | " << worst << " |\n";
    return t.str();
}

}  // namespace flashwire::campaign
