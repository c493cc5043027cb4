// A seeded fault-injection sweep of the whole boot stage (TalkToBootloader)
// against the simulated phone of every demo platform: random line noise in
// both directions, stalls, refused or swallowed replies, a phone that goes
// silent or reboots. Every run must end (an abort is raised at a virtual
// deadline, since pinging and sync waits have no bound of their own) with a
// code the stage may give; a success must have put the host's exact loader
// bytes into the phone; priority and read time-out must be as the stage
// leaves them.
//
// Replay one seed: FLASHWIRE_SWEEP_SEED=<n> ./tests/test_boot
//   --gtest_filter=Platforms/BootFaultSweep.EveryRunEndsSoundly/<platform>
// A longer sweep: FLASHWIRE_SWEEP_COUNT=<seeds per platform>; every run's
// faults and outcome: FLASHWIRE_SWEEP_VERBOSE=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "boot/talk_to_bootloader.h"
#include "boot_rig.h"
#include "image/srec_reader.h"
#include "job/job_driver.h"
#include "sim/phone_factory.h"
#include "sim/prng.h"
#include "catalog/platform_definition.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FLASHWIRE_SWEEP_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer) || __has_feature(thread_sanitizer)
#define FLASHWIRE_SWEEP_SANITIZER 1
#endif
#endif
#ifdef FLASHWIRE_SWEEP_SANITIZER
#include <sanitizer/common_interface_defs.h>
#endif

namespace flashwire::boot_test {
namespace {

// About 2 s for all platforms in an optimised build; sanitizer builds run
// each seed roughly 20 times slower, so they take fewer.
#ifdef FLASHWIRE_SWEEP_SANITIZER
constexpr uint32_t kSeedsPerPlatform = 40;
#else
constexpr uint32_t kSeedsPerPlatform = 100;
#endif
constexpr uint32_t kDeadlineMs = 10 * 60 * 1000;
// After the abort request the stage must return within this much virtual
// time (RAM block loading does not poll for abort but its retries are bounded).
constexpr uint32_t kAfterAbortMs = 5 * 60 * 1000;
// Past this the host is hung: the process stops with the replay line.
constexpr uint64_t kHardLimitUs = uint64_t{kDeadlineMs + 2 * kAfterAbortMs} * 1000;

const std::string kConfigDir = std::string(FLASHWIRE_BINARY_DIR) + "/";

// The replay line of the run in progress (for a crash or a hang).
std::string g_currentRun;

std::string ReplayLine(const std::string& platform, uint64_t seed) {
    std::string name = platform;
    std::replace(name.begin(), name.end(), '-', '_');
    return "FLASHWIRE_SWEEP_SEED=" + std::to_string(seed) +
           " ./tests/test_boot --gtest_filter=Platforms/BootFaultSweep.EveryRunEndsSoundly/" + name;
}

[[noreturn]] void DieWithReplay(const char* why) {
    std::fprintf(stderr, "\nfault sweep: %s\n  replay: %s\n", why, g_currentRun.c_str());
    std::fflush(stderr);
    std::abort();
}

#ifdef FLASHWIRE_SWEEP_SANITIZER
void OnSanitizerDeath() {
    std::fprintf(stderr, "\nfault sweep: sanitizer report in run\n  replay: %s\n", g_currentRun.c_str());
}
#endif

// Stops the process when the host keeps running far past the abort request.
class Watchdog {
public:
    explicit Watchdog(sim::VirtualLink& link) : link_(link) {}
    void Poll() {
        if (link_.NowUs() > kHardLimitUs) DieWithReplay("the host did not end after the abort request");
    }

private:
    sim::VirtualLink& link_;
};

class WatchdogClock final : public platform::Clock {
public:
    WatchdogClock(platform::Clock& inner, Watchdog& dog) : inner_(inner), dog_(dog) {}
    uint32_t Ticks() override {
        dog_.Poll();
        return inner_.Ticks();
    }
    void Sleep(uint32_t ms) override {
        inner_.Sleep(ms);
        dog_.Poll();
    }

private:
    platform::Clock& inner_;
    Watchdog& dog_;
};

class WatchdogPort final : public test_support::ForwardingPort {
public:
    WatchdogPort(std::unique_ptr<platform::SerialPort> inner, Watchdog& dog)
        : ForwardingPort(std::move(inner)), dog_(dog) {}

private:
    void AfterWait() override { dog_.Poll(); }

    Watchdog& dog_;
};

class WatchdogSerial final : public platform::SerialProvider {
public:
    WatchdogSerial(platform::SerialProvider& inner, Watchdog& dog) : inner_(inner), dog_(dog) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override {
        auto port = inner_.Open(portNumber, overlapped, systemError);
        if (!port) return port;
        return std::make_unique<WatchdogPort>(std::move(port), dog_);
    }

private:
    platform::SerialProvider& inner_;
    Watchdog& dog_;
};

// The faults of one run, drawn from its seed.
sim::FaultConfig RandomFaults(sim::Prng& rng, bool active, std::string& description) {
    auto chance = [&](double p) { return rng.Chance(p); };
    // Log-spaced between 0.1% and 2% per byte (a table, not pow(): its last
    // bit may differ between C libraries).
    static constexpr double kRates[] = {0.001,  0.00122, 0.00149, 0.00182, 0.00222, 0.00271, 0.00330, 0.00403,
                                        0.00492, 0.00600, 0.00732, 0.00894, 0.0109,  0.0133,  0.0162,  0.02};
    auto rate = [&] { return kRates[rng.Below(std::size(kRates))]; };
    auto pick = [&](uint64_t lo, uint64_t hi) { return rng.Range(lo, hi); };

    sim::FaultConfig f;
    std::ostringstream d;
    for (sim::Direction dir : {sim::Direction::ToPhone, sim::Direction::ToHost}) {
        const char* name = dir == sim::Direction::ToPhone ? "to-phone" : "to-host";
        sim::LineFaults& line = f.Line(dir, 0);
        if (chance(0.35)) d << " " << name << "-flip=" << (line.bitFlip = rate());
        if (chance(0.35)) d << " " << name << "-drop=" << (line.drop = rate());
        if (chance(0.35)) d << " " << name << "-garbage=" << (line.garbage = rate());
    }
    if (chance(0.2)) {
        sim::StallFault stall;
        stall.direction = chance(0.5) ? sim::Direction::ToHost : sim::Direction::ToPhone;
        stall.atByte = pick(0, 20000);
        stall.durationUs = pick(1, 8000) * 1000;
        f.stalls.push_back(stall);
        d << " stall(" << (stall.direction == sim::Direction::ToHost ? "to-host" : "to-phone") << ",byte "
          << stall.atByte << "," << stall.durationUs / 1000 << "ms)";
    }
    static const std::vector<std::string> kActiveTokens = {"O", "K", "ZE", "R", "B", "N", "P"};
    static const std::vector<std::string> kPassiveTokens = {"!", "-()-", "info", "data", "done", "syn!"};
    const auto& tokens = active ? kActiveTokens : kPassiveTokens;
    if (chance(0.3)) {
        for (uint64_t n = pick(1, 3); n > 0; --n) {
            sim::ReplyFault r;
            r.token = tokens[pick(0, tokens.size() - 1)];
            r.occurrence = static_cast<uint32_t>(pick(0, 4));
            r.kind = static_cast<sim::ReplyFaultKind>(pick(0, 2));
            f.replies.push_back(r);
            d << " reply(" << r.token << "#" << r.occurrence << ","
              << (r.kind == sim::ReplyFaultKind::Refuse ? "refuse" : r.kind == sim::ReplyFaultKind::Silence ? "silence" : "badcrc")
              << ")";
        }
    }
    if (chance(0.08)) d << " silent-at-command=" << (f.silentAtCommand = pick(0, 40));
    if (chance(0.1)) {
        if (chance(0.5)) d << " reboot-at-command=" << (f.rebootAtCommand = pick(0, 40));
        else d << " reboot-at-ms=" << (f.rebootAtUs = pick(0, 3000) * 1000) / 1000;
    }
    description = d.str().empty() ? " none" : d.str();
    return f;
}

// The host's loader bytes from the list's lowest to highest loaded address.
std::vector<uint8_t> HostLoader(const RegionList& list) {
    if (list.rangeCount == 0) return {};
    const MemoryRegion& buffer = list.buffers[0];
    const uint32_t first = list.ranges[0].first;
    const uint32_t last = list.ranges[list.rangeCount - 1].last;
    return {buffer.data.get() + (first - buffer.first), buffer.data.get() + (last - buffer.first) + 1};
}

struct RunOutcome {
    uint32_t result = 0;
    std::vector<std::string> failures;
    bool lostToReboot = false;    // success, but a mid-load reboot left the phone halted
    bool rebootAfterEnd = false;  // the phone rebooted right after the success
    std::string faults;
    std::string lastLine;
    std::string phoneState;
};

class BootFaultSweep : public ::testing::TestWithParam<std::string> {
protected:
    RunOutcome RunSeed(uint64_t seed);
};

RunOutcome BootFaultSweep::RunSeed(uint64_t seed) {
    const std::string& platform = GetParam();
    RunOutcome out;
    auto fail = [&](const std::string& why) { out.failures.push_back(why); };

    std::string error;
    sim::PhoneConfig config = sim::PhoneConfigForPlatform(kConfigDir, platform, &error);
    if (!error.empty()) {
        fail("phone: " + error);
        return out;
    }
    const bool active = config.bootRom == sim::BootRomKind::Active;
    sim::Prng rng(sim::DeriveSeed(seed, sim::Fnv1a64(platform)));
    std::string faults;
    config.faults = RandomFaults(rng, active, faults);
    out.faults = faults;

    BootRig rig(config, seed);
    Watchdog dog(rig.link);
    WatchdogClock clock(rig.clock, dog);
    WatchdogSerial serial(rig.serial, dog);
    FlashContext& ctx = *rig.ctx;
    ctx.services.clock = &clock;
    ctx.services.serial = &serial;
    rig.trigger.abortAtMs = kDeadlineMs;
    // Half the active runs bound the wait for the rate acknowledgement.
    const bool unattended = active && (rng.Next() & 1u) != 0;
    ctx.plan.unattended = unattended;
    if (unattended) out.faults += " unattended";

    std::snprintf(ctx.exeDirectory, kPathSize, "%s", kConfigDir.c_str());
    std::snprintf(ctx.platformDefPath, kPathSize, "%splatform.def", kConfigDir.c_str());
    ctx.plan.platform = platform;
    if (!ReadJobPlatform(ctx) ||
        !rig.Open(ctx.platform.setupLoaderBase, ctx.platform.flashLoaderBase) ||
        LoadSRecordFile(ctx, ctx.flashLoaderList(), ctx.platform.flashLoaderPath, false) != SUCCESS ||
        (ctx.platform.setupLoaderPath[0] != '\0' &&
         LoadSRecordFile(ctx, ctx.setupLoaderList(), ctx.platform.setupLoaderPath, false) != SUCCESS)) {
        fail("could not prepare the host: " + rig.Transcript());
        return out;
    }

    out.result = TalkToBootloader(ctx);
    const uint32_t endMs = rig.NowMs();
    const uint32_t r = out.result;
    if (!rig.host.lines.empty()) out.lastLine = rig.host.lines.back().text;
    out.phoneState = "phone stage " + std::to_string(static_cast<int>(rig.phone().stage())) +
                     (rig.phone().halted() ? " (halted)" : "") + ", boots " + std::to_string(rig.phone().bootCount());

    static const uint32_t kAllowed[] = {SUCCESS,    ERR_PROTOCOL,   ERR_TIMEOUT,  ERR_CRC, ERR_TOO_MANY_RETRIES,
                                        ERR_CMD_FAILED, ERR_ABORT, ERR_UNKOWN_HW};
    if (std::find(std::begin(kAllowed), std::end(kAllowed), r) == std::end(kAllowed))
        fail("unexpected code " + std::to_string(r));
    if (rig.trigger.abortRaisedAtMs != 0 && endMs - rig.trigger.abortRaisedAtMs > kAfterAbortMs)
        fail("returned " + std::to_string(endMs - rig.trigger.abortRaisedAtMs) + " ms after the abort request");
    if (r == ERR_ABORT && !ctx.abortRequested.load()) fail("ERR_ABORT without an abort request");

    if (ctx.priorityStack.depth != 0) fail("priority depth " + std::to_string(ctx.priorityStack.depth));
    if (rig.threading.current != platform::kPriorityNormal)
        fail("priority left at " + std::to_string(rig.threading.current));

    // Read time-out: the active handshake leaves the job driver's 1000 ms (500 ms
    // only while still waiting for the announcement); the passive stages set
    // 250 ms once the phone woke up, and never stay non-blocking.
    const PortRecord& port = ctx.ports[0];
    if (port.nonBlocking) fail("port left in non-blocking mode");
    platform::CommTimeouts onPort{};
    if (port.handle == nullptr || !port.handle->GetTimeouts(onPort) || onPort.readTotalConstant != port.readTimeout ||
        onPort.readInterval != 0 || onPort.readTotalMultiplier != 0) {
        fail("the port's time-outs differ from its record (" + std::to_string(onPort.readInterval) + "/" +
             std::to_string(onPort.readTotalMultiplier) + "/" + std::to_string(onPort.readTotalConstant) + " vs " +
             std::to_string(port.readTimeout) + ")");
    }
    if (active) {
        if (port.readTimeout != 1000 && !(port.readTimeout == 500 && r == ERR_ABORT))
            fail("active: read time-out " + std::to_string(port.readTimeout));
    } else {
        if (port.readTimeout != 250 && !(port.readTimeout == 1000 && r != SUCCESS))
            fail("passive: read time-out " + std::to_string(port.readTimeout));
    }

    if (r == SUCCESS) {
        const uint32_t bootsAtEnd = rig.phone().bootCount();
        rig.Settle();
        if (rig.phone().bootCount() != bootsAtEnd) {
            out.rebootAfterEnd = true;  // a reboot time just after the success: nothing left to compare
        } else {
            auto compare = [&](const char* what, const sim::LoadedImage& loaded, const RegionList& list) {
                // A phone that rebooted in the middle of the loading lost the
                // chunks sent before; the wire does not show the host that
                // (a rebooted boot ROM answers "sync" and takes the rest), so
                // the image may be missing, and the phone halts on it instead
                // of running it. A partial or altered image is never allowed.
                if (bootsAtEnd > 1 && loaded.bytes.empty() && rig.phone().halted()) {
                    out.lostToReboot = true;
                    return;
                }
                const std::vector<uint8_t> host = HostLoader(list);
                const bool same = loaded.base == list.ranges[0].first && loaded.bytes.size() >= host.size() &&
                                  std::equal(host.begin(), host.end(), loaded.bytes.begin()) &&
                                  (active ? loaded.bytes.size() - host.size() < 4096 : loaded.bytes.size() == host.size());
                if (!same) {
                    std::size_t at = 0;
                    while (at < host.size() && at < loaded.bytes.size() && host[at] == loaded.bytes[at]) ++at;
                    fail(std::string("SUCCESS but the phone's ") + what + " differs from the host's (base " +
                         std::to_string(loaded.base) + ", " + std::to_string(loaded.bytes.size()) + " vs " +
                         std::to_string(host.size()) + " bytes, first difference at " + std::to_string(at) + ")");
                }
            };
            compare("flash loader", rig.phone().flashLoaderImage(), ctx.flashLoaderList());
            // A reboot during the setup loader stage lets the boot ROM answer
            // in its place (the stage takes any description) and load the
            // flash loader itself: the setup loader is then gone.
            if (ctx.platform.setupLoaderNeeded && bootsAtEnd == 1)
                compare("setup loader", rig.phone().setupLoaderImage(), ctx.setupLoaderList());
        }
    }

    if (!out.failures.empty()) {
        std::ostringstream msg;
        msg << "faults:" << faults << "; result " << r << " at " << endMs << " ms\n" << rig.Transcript();
        out.failures.push_back(msg.str());
    }
    return out;
}

std::string CodeName(uint32_t code) {
    switch (code) {
        case SUCCESS: return "SUCCESS";
        case ERR_PROTOCOL: return "ERR_PROTOCOL";
        case ERR_TIMEOUT: return "ERR_TIMEOUT";
        case ERR_CRC: return "ERR_CRC";
        case ERR_TOO_MANY_RETRIES: return "ERR_TOO_MANY_RETRIES";
        case ERR_CMD_FAILED: return "ERR_CMD_FAILED";
        case ERR_ABORT: return "ERR_ABORT";
        case ERR_UNKOWN_HW: return "ERR_UNKOWN_HW";
        default: return "code " + std::to_string(code);
    }
}

TEST_P(BootFaultSweep, EveryRunEndsSoundly) {
#ifdef FLASHWIRE_SWEEP_SANITIZER
    __sanitizer_set_death_callback(OnSanitizerDeath);
#endif
    std::vector<uint64_t> seeds;
    if (const char* one = std::getenv("FLASHWIRE_SWEEP_SEED"); one != nullptr && *one != '\0') {
        seeds.push_back(std::strtoull(one, nullptr, 10));
    } else {
        uint64_t count = kSeedsPerPlatform;
        if (const char* n = std::getenv("FLASHWIRE_SWEEP_COUNT"); n != nullptr && *n != '\0')
            count = std::strtoull(n, nullptr, 10);
        for (uint64_t s = 1; s <= count; ++s) seeds.push_back(s);
    }

    // FLASHWIRE_SWEEP_VERBOSE=1 prints every run's faults and outcome.
    const char* verboseText = std::getenv("FLASHWIRE_SWEEP_VERBOSE");
    const bool verbose = verboseText != nullptr && *verboseText != '\0' && *verboseText != '0';
    std::map<std::string, int> distribution;
    for (uint64_t seed : seeds) {
        g_currentRun = ReplayLine(GetParam(), seed);
        const RunOutcome run = RunSeed(seed);
        ++distribution[CodeName(run.result)];
        if (run.lostToReboot) ++distribution["(success lost to a reboot)"];
        if (run.rebootAfterEnd) ++distribution["(reboot after success)"];
        if (verbose) {
            std::printf("seed %llu: %s;%s; %s; last line: %s\n", static_cast<unsigned long long>(seed),
                        CodeName(run.result).c_str(), run.faults.c_str(), run.phoneState.c_str(),
                        run.lastLine.c_str());
        }
        if (!run.failures.empty()) {
            std::string all;
            for (const std::string& f : run.failures) all += f + "\n";
            ADD_FAILURE() << "seed " << seed << ":\n" << all << "replay: " << g_currentRun;
        }
    }
    std::string summary;
    for (const auto& [name, count] : distribution) summary += " " + name + "=" + std::to_string(count);
    std::printf("[ sweep    ] %s: %zu runs:%s\n", GetParam().c_str(), seeds.size(), summary.c_str());
    g_currentRun.clear();
    // The sweep must reach the phone's loaded-image check, not only fail early.
    if (seeds.size() == kSeedsPerPlatform) {
        EXPECT_GT(distribution["SUCCESS"], 0) << summary;
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, BootFaultSweep,
                         ::testing::Values("demo-active", "demo-passive", "demo-passive-setup", "demo-mit1"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace flashwire::boot_test
