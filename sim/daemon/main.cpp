// flashwire-sim: the simulated phone as a daemon behind two pseudo-terminals.
//
// Start-up: options, shutdown signals, the platform's phone, the flash file,
// one pseudo-terminal and optional link per UART, power-on; then the lines
// "UART A: <path>", "UART B: <path>" and "ready" on stdout. The event loop
// runs until SIGINT, SIGTERM or SIGHUP; then the links are removed and the
// flash is saved.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "sim/daemon/daemon_loop.h"
#include "sim/daemon/daemon_options.h"
#include "sim/daemon/phone_flash_store.h"
#include "sim/daemon/port_link.h"
#include "sim/daemon/replay_loop.h"
#include "sim/phone_factory.h"

namespace {

using namespace flashwire;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr const char* kProgram = "flashwire-sim";

int Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitFailure;
}

// The directory of the running executable, from /proc/self/exe.
std::string ExecutableDirectory() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    const std::string path(buffer.data(), static_cast<std::size_t>(n));
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The configuration directory when --config-dir is not given: the
// executable's own, where the build copies config/; an installed daemon finds
// no "platform.def" there and takes the sample configuration installed with
// it (FLASHWIRE_SIM_DATA_FROM_BIN: that directory relative to the program's).
std::string DefaultConfigDirectory() {
    const std::string own = ExecutableDirectory();
#ifdef FLASHWIRE_SIM_DATA_FROM_BIN
    std::error_code ec;
    if (!std::filesystem::exists(own + "/platform.def", ec)) {
        const std::filesystem::path installed =
            (std::filesystem::path(own) / FLASHWIRE_SIM_DATA_FROM_BIN).lexically_normal();
        if (std::filesystem::exists(installed / "platform.def", ec)) return installed.string();
    }
#endif
    return own;
}

void PrintLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// --replay: the trace's phone side behind the two terminals.
int RunReplay(const simd::DaemonOptions& options) {
    simd::ShutdownSignals signals;
    std::string error;
    if (!signals.Install(error)) return Fail(error);

    std::ifstream in(options.replayFile, std::ios::binary);
    if (!in) return Fail("cannot open the trace " + options.replayFile + ": " + std::strerror(errno));
    std::vector<sim::TraceEvent> events;
    if (!sim::ParseTrace(in, events, error)) return Fail(options.replayFile + ": " + error);
    sim::ReplayPhone replay(std::move(events), true);

    std::array<simd::PseudoTerminal, 2> terminals;
    for (simd::PseudoTerminal& t : terminals) {
        if (!t.Open(error)) return Fail("cannot open a pseudo-terminal: " + error);
    }
    std::vector<simd::PortLink> links(options.links.size());
    for (std::size_t i = 0; i < options.links.size(); ++i) {
        if (!links[i].Create(options.links[i], terminals[i].SlavePath(), error)) return Fail(error);
    }
    const simd::ElapsedClock clock;
    PrintLine("UART A: " + terminals[0].SlavePath());
    PrintLine("UART B: " + terminals[1].SlavePath());
    PrintLine("replay: " + options.replayFile + ", " + std::to_string(replay.eventCount()) + " events");
    PrintLine("ready");

    int signalNumber = 0;
    const bool loopOk =
        simd::RunReplayLoop(simd::ReplayParts{replay, terminals, signals, clock, stdout}, signalNumber, error);
    for (simd::PortLink& link : links) link.Remove();
    if (!loopOk) return Fail(error);
    PrintLine(simd::ReplaySummary(replay));
    return replay.finished() && !replay.divergence() ? kExitOk : kExitFailure;
}

int Run(const simd::DaemonOptions& options) {
    if (!options.replayFile.empty()) return RunReplay(options);
    // Signals first: a SIGTERM during start-up must still end in a clean exit.
    simd::ShutdownSignals signals;
    std::string error;
    if (!signals.Install(error)) return Fail(error);

    const std::string configDir = options.configDir.empty() ? DefaultConfigDirectory() : options.configDir;
    std::string platformError;
    sim::PhoneConfig config = sim::PhoneConfigForPlatform(configDir, options.platform, &platformError);
    if (!platformError.empty()) {
        return Fail("cannot build the phone of platform \"" + options.platform + "\" from " + configDir +
                    ": " + platformError);
    }
    config.requireLoaderSignature = options.requireLoaderSignature;
    // Back in the boot ROM after each job, for the next one.
    config.restartOnEndByte = true;
    if (options.instantFlash) {
        config.timing.programNsPerByte = 0;
        config.timing.eraseFixedUs = 0;
        config.timing.eraseUsPerKiB = 0;
        config.timing.readNsPerByte = 0;
    }
    config.timing.streamArmingUs = options.streamArmingMs * 1000u;
    simd::ApplyFaultOptions(options.faults, config.faults);
    sim::Phone phone(config, options.seed);

    if (!options.flashFile.empty()) {
        switch (simd::RestorePhoneFlash(options.flashFile, phone.flash(), error)) {
            case simd::FlashRestore::Failed:
                return Fail(error);
            case simd::FlashRestore::NoFile:
            case simd::FlashRestore::Restored:
                break;
        }
    }

    std::array<simd::PseudoTerminal, 2> terminals;
    for (simd::PseudoTerminal& t : terminals) {
        if (!t.Open(error)) return Fail("cannot open a pseudo-terminal: " + error);
    }
    std::vector<simd::PortLink> links(options.links.size());
    for (std::size_t i = 0; i < options.links.size(); ++i) {
        if (!links[i].Create(options.links[i], terminals[i].SlavePath(), error)) return Fail(error);
    }
    std::array<simd::UartBridge, 2> uarts = {simd::UartBridge(0, std::move(terminals[0]), options.timeSliceUs),
                                             simd::UartBridge(1, std::move(terminals[1]), options.timeSliceUs)};

    const simd::ElapsedClock clock;
    phone.PowerOn(options.powerOnDelayMs * 1000u);
    PrintLine("UART A: " + uarts[0].Terminal().SlavePath());
    PrintLine("UART B: " + uarts[1].Terminal().SlavePath());
    PrintLine("ready");

    simd::PhoneEventEcho echo(stderr);
    simd::EventLines eventLines(STDOUT_FILENO);
    simd::PhoneRestarts restarts(phone, eventLines);
    int signalNumber = 0;
    const bool loopOk = simd::RunDaemonLoop(
        simd::LoopParts{phone, uarts, signals, clock, restarts, options.verbose ? &echo : nullptr,
                        options.timeSliceUs},
        signalNumber, error);
    if (options.verbose && loopOk) {
        echo.Note(clock.NowUs(), ("signal " + std::to_string(signalNumber) + ", shutting down").c_str());
    }

    for (simd::PortLink& link : links) link.Remove();
    int status = loopOk ? kExitOk : Fail(error);
    // The flash is saved whatever ended the loop: nothing the host wrote is lost.
    if (!options.flashFile.empty()) {
        std::string saveError;
        if (!simd::StorePhoneFlash(options.flashFile, phone.flash(), saveError)) {
            status = Fail(saveError);
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    simd::DaemonOptions options;
    std::string error;
    const std::span<char* const> args(argv + (argc > 0 ? 1 : 0),
                                      argc > 0 ? static_cast<std::size_t>(argc - 1) : 0);
    switch (simd::ParseDaemonOptions(args, options, error)) {
        case simd::ParseOutcome::Help:
            std::fputs(simd::DaemonUsage(kProgram).c_str(), stdout);
            return kExitOk;
        case simd::ParseOutcome::Error:
            std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", kProgram, error.c_str(),
                         kProgram);
            return kExitUsage;
        case simd::ParseOutcome::Run:
            break;
    }
    return Run(options);
}
