#include "sim/daemon/daemon_options.h"

#include <string_view>

namespace flashwire::simd {

namespace {

constexpr uint64_t kMaxMilliseconds = UINT64_MAX / 1000u;
// A longer step would delay the phone's answers beyond what hosts wait for.
constexpr uint64_t kMaxTimeSliceUs = 100'000;

enum class Id {
    Platform,
    ConfigDir,
    Link,
    FlashFile,
    Seed,
    PowerOnDelay,
    Verbose,
    RequireLoaderSignature,
    InstantFlash,
    StreamArming,
    TimeSlice,
    Replay,
    Help,
    FaultBitFlip,
    FaultDrop,
    FaultGarbage,
    FaultStall,
    FaultReply,
    FaultSilentAfter,
    FaultSilentAt,
    FaultRebootAfter,
    FaultRebootAt,
    FaultStuck,
};

struct OptionEntry {
    Id id;
    std::string_view longName;
    char shortName;          // 0: none
    std::string_view value;  // metavariable; empty: the option takes no value
    std::string_view help;
};

constexpr OptionEntry kOptions[] = {
    {Id::Platform, "platform", 0, "NAME",
     "platform section of \"platform.def\" that describes the phone (required)"},
    {Id::ConfigDir, "config-dir", 0, "DIR",
     "directory holding \"platform.def\" and \"flash.types\"\n"
     "(default: the directory of this executable, or the sample\n"
     "configuration installed with it when that holds no \"platform.def\")"},
    {Id::Link, "link", 0, "PATH",
     "make PATH a symbolic link to a UART's pseudo-terminal: the first\n"
     "--link names UART A, the second UART B; an existing symbolic link is\n"
     "replaced, any other file is never overwritten; removed at exit"},
    {Id::FlashFile, "flash-file", 0, "FILE",
     "flash contents: loaded at start if FILE exists, saved there at exit\n"
     "(raw bytes of every chip in chip order, nothing else)"},
    {Id::Seed, "seed", 0, "N", "seed of the phone's random faults (default 1)"},
    {Id::PowerOnDelay, "power-on-delay", 0, "MS",
     "power the phone on MS milliseconds after start (default 0)"},
    {Id::Verbose, "verbose", 'v', "",
     "log the commands the phone receives and the faults it commits to stderr"},
    {Id::RequireLoaderSignature, "require-loader-signature", 0, "",
     "run a loaded image only when it starts with \"FWSETUP\" or \"FWFLASH\";\n"
     "without, the phone halts (default: it runs whatever was loaded)"},
    {Id::InstantFlash, "instant-flash", 0, "",
     "flash operations (erase, program, read) take no time, so the line\n"
     "alone decides how fast a job goes (for throughput measurements)"},
    {Id::StreamArming, "stream-arming", 0, "MS",
     "the flash loader arms its receive for a \"TXDT\" stream MS milliseconds\n"
     "after the frame; stream bytes that come earlier are lost and logged as\n"
     "a fault (default 0: early bytes are kept)"},
    {Id::TimeSlice, "time-slice", 0, "US",
     "pacing step in microseconds (default 1000, at most 100000): while\n"
     "bytes flow the daemon wakes once per step and hands over what the line\n"
     "carried meanwhile, each byte at its exact time; 0 wakes for every byte"},
    {Id::Replay, "replay", 0, "FILE",
     "be the phone of a wire trace (flashwire --trace FILE) instead of the\n"
     "simulated one: answer the host with the bytes it read in the trace as\n"
     "long as it writes what the trace says it wrote; report the first byte\n"
     "that differs (docs/wire-trace.md); --platform is then not needed"},
    {Id::Help, "help", 'h', "", "show this text and exit"},
    {Id::FaultBitFlip, "fault-bitflip", 0, "P[:DIR[:UART]]",
     "invert one random bit of a byte with probability P (0 to 1)"},
    {Id::FaultDrop, "fault-drop", 0, "P[:DIR[:UART]]", "lose a byte with probability P"},
    {Id::FaultGarbage, "fault-garbage", 0, "P[:DIR[:UART]]",
     "insert a random byte before a byte with probability P"},
    {Id::FaultStall, "fault-stall", 0, "MS@AT[:DIR[:UART]]",
     "stop the line for MS milliseconds, once: AT is a byte count (the stall\n"
     "starts when that many bytes have passed in that direction) or a time\n"
     "written Tms (at the first byte at or after T ms); default direction\n"
     "to-host (the phone's transmitter), default UART A"},
    {Id::FaultReply, "fault-reply", 0, "TOKEN:N:KIND",
     "turn the N-th (from 0) reply named TOKEN (\"info\", \"!\", \"INFO\", \"TXDT\"...)\n"
     "into a fault; KIND: err or nack (refused), silent, badcrc"},
    {Id::FaultSilentAfter, "fault-silent-after", 0, "N",
     "the phone stops answering for good once it has received N commands"},
    {Id::FaultSilentAt, "fault-silent-at", 0, "MS",
     "the phone stops answering for good MS milliseconds after start"},
    {Id::FaultRebootAfter, "fault-reboot-after", 0, "N",
     "the phone resets once it has received N commands (flash kept)"},
    {Id::FaultRebootAt, "fault-reboot-at", 0, "MS",
     "the phone resets MS milliseconds after start (flash kept)"},
    {Id::FaultStuck, "fault-stuck", 0, "ADDRESS:MASK",
     "the bits in MASK of the flash byte at ADDRESS always read 0"},
};

const OptionEntry* FindLong(std::string_view name) {
    for (const OptionEntry& entry : kOptions) {
        if (entry.longName == name) return &entry;
    }
    return nullptr;
}

const OptionEntry* FindShort(char name) {
    for (const OptionEntry& entry : kOptions) {
        if (entry.shortName != 0 && entry.shortName == name) return &entry;
    }
    return nullptr;
}

bool ParseMilliseconds(std::string_view text, uint64_t& out) {
    return ParseUnsigned(text, out) && out <= kMaxMilliseconds;
}

// Stores one option's value; false with a message.
bool Apply(const OptionEntry& entry, std::string_view value, DaemonOptions& out, std::string& error) {
    const std::string name = "--" + std::string(entry.longName);
    auto nonEmpty = [&](std::string& target) {
        if (value.empty()) {
            error = name + " needs a non-empty value";
            return false;
        }
        target = std::string(value);
        return true;
    };
    auto whole = [&](uint64_t& target, bool milliseconds) {
        const bool ok = milliseconds ? ParseMilliseconds(value, target) : ParseUnsigned(value, target);
        if (!ok)
            error = name + " needs a whole number" + (milliseconds ? " of milliseconds" : "") + ", got \"" +
                    std::string(value) + "\"";
        return ok;
    };
    auto optionalWhole = [&](std::optional<uint64_t>& target, bool milliseconds) {
        uint64_t v = 0;
        if (!whole(v, milliseconds)) return false;
        target = milliseconds ? v * 1000u : v;
        return true;
    };
    auto lineFault = [&](LineFaultOption::Kind kind) {
        LineFaultOption option;
        if (!ParseLineFault(kind, value, option, error)) {
            error = name + ": " + error;
            return false;
        }
        out.faults.line.push_back(option);
        return true;
    };
    switch (entry.id) {
        case Id::Platform:
            return nonEmpty(out.platform);
        case Id::ConfigDir:
            return nonEmpty(out.configDir);
        case Id::Link: {
            std::string path;
            if (!nonEmpty(path)) return false;
            if (out.links.size() >= 2) {
                error = name + " given more than twice: the phone has two UARTs (A and B)";
                return false;
            }
            if (!out.links.empty() && out.links.front() == path) {
                error = name + " names " + path + " twice: UART A and UART B need a link each";
                return false;
            }
            out.links.push_back(path);
            return true;
        }
        case Id::FlashFile:
            return nonEmpty(out.flashFile);
        case Id::Seed:
            return whole(out.seed, false);
        case Id::PowerOnDelay:
            return whole(out.powerOnDelayMs, true);
        case Id::Verbose:
            out.verbose = true;
            return true;
        case Id::InstantFlash:
            out.instantFlash = true;
            return true;
        case Id::StreamArming:
            return whole(out.streamArmingMs, true);
        case Id::RequireLoaderSignature:
            out.requireLoaderSignature = true;
            return true;
        case Id::TimeSlice:
            if (!whole(out.timeSliceUs, false)) return false;
            if (out.timeSliceUs > kMaxTimeSliceUs) {
                error = name + " is at most " + std::to_string(kMaxTimeSliceUs) + " microseconds, got " +
                        std::string(value);
                return false;
            }
            return true;
        case Id::Replay:
            return nonEmpty(out.replayFile);
        case Id::Help:
            return true;
        case Id::FaultBitFlip:
            return lineFault(LineFaultOption::Kind::BitFlip);
        case Id::FaultDrop:
            return lineFault(LineFaultOption::Kind::Drop);
        case Id::FaultGarbage:
            return lineFault(LineFaultOption::Kind::Garbage);
        case Id::FaultStall:
            if (ParseStallFault(value, out.faults.stalls, error)) return true;
            error = name + ": " + error;
            return false;
        case Id::FaultReply: {
            sim::ReplyFault fault;
            if (!ParseReplyFault(value, fault, error)) {
                error = name + ": " + error;
                return false;
            }
            out.faults.replies.push_back(fault);
            return true;
        }
        case Id::FaultSilentAfter:
            return optionalWhole(out.faults.silentAtCommand, false);
        case Id::FaultSilentAt:
            return optionalWhole(out.faults.silentAtUs, true);
        case Id::FaultRebootAfter:
            return optionalWhole(out.faults.rebootAtCommand, false);
        case Id::FaultRebootAt:
            return optionalWhole(out.faults.rebootAtUs, true);
        case Id::FaultStuck: {
            sim::StuckBits stuck;
            if (!ParseStuckBits(value, stuck, error)) {
                error = name + ": " + error;
                return false;
            }
            out.faults.stuckBits.push_back(stuck);
            return true;
        }
    }
    return true;
}

}  // namespace

ParseOutcome ParseDaemonOptions(std::span<char* const> args, DaemonOptions& out, std::string& error) {
    // --help wins over everything else on the line.
    for (const char* arg : args) {
        const std::string_view a = arg;
        if (a == "--help" || a == "-h") return ParseOutcome::Help;
    }
    DaemonOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const OptionEntry* entry = nullptr;
        std::string_view value;
        bool hasInlineValue = false;
        if (arg.size() > 2 && arg.substr(0, 2) == "--") {
            std::string_view name = arg.substr(2);
            const std::size_t eq = name.find('=');
            if (eq != std::string_view::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                hasInlineValue = true;
            }
            entry = FindLong(name);
        } else if (arg.size() == 2 && arg[0] == '-') {
            entry = FindShort(arg[1]);
        } else {
            error = "unexpected argument \"" + std::string(arg) + "\" (options start with --)";
            return ParseOutcome::Error;
        }
        if (entry == nullptr) {
            error = "unknown option \"" + std::string(arg) + "\"";
            return ParseOutcome::Error;
        }
        if (entry->value.empty()) {
            if (hasInlineValue) {
                error = "option --" + std::string(entry->longName) + " takes no value";
                return ParseOutcome::Error;
            }
        } else if (!hasInlineValue) {
            if (i + 1 >= args.size()) {
                error = "option --" + std::string(entry->longName) + " needs a value " +
                        std::string(entry->value);
                return ParseOutcome::Error;
            }
            value = args[++i];
        }
        if (!Apply(*entry, value, options, error)) return ParseOutcome::Error;
    }
    if (options.platform.empty() && options.replayFile.empty()) {
        error = "--platform NAME is required (or --replay FILE)";
        return ParseOutcome::Error;
    }
    out = std::move(options);
    return ParseOutcome::Run;
}

std::string DaemonUsage(const std::string& programName) {
    std::string text = "Usage: " + programName +
                       " --platform NAME [options]\n\n"
                       "Simulates a phone behind two serial ports (UART A and UART B), each a\n"
                       "pseudo-terminal, in real time. Prints \"UART A: <path>\", \"UART B: <path>\"\n"
                       "and \"ready\"; runs until SIGINT or SIGTERM, then removes its links, saves\n"
                       "the flash file and exits 0. After a job's end byte the phone restarts\n"
                       "into its boot ROM (flash kept) for the next job; SIGUSR1 power-cycles it\n"
                       "at any moment. Each restart prints a line (\"restart: ...\",\n"
                       "\"power cycle: ...\").\n\nOptions:\n";
    for (const OptionEntry& entry : kOptions) {
        std::string head = "  ";
        head += entry.shortName != 0 ? std::string("-") + entry.shortName + ", " : std::string("    ");
        head += "--" + std::string(entry.longName);
        if (!entry.value.empty()) head += " " + std::string(entry.value);
        text += head + "\n";
        std::string_view help = entry.help;
        while (!help.empty()) {
            const std::size_t nl = help.find('\n');
            text += "        " + std::string(help.substr(0, nl)) + "\n";
            if (nl == std::string_view::npos) break;
            help.remove_prefix(nl + 1);
        }
    }
    text +=
        "\nDIR is to-phone, to-host or both (default both); UART is A, B or both\n"
        "(default both). Numbers are decimal or 0x-hexadecimal. Times of the\n"
        "fault options count from the daemon's start.\n"
        "Exit status: 0 after a clean shutdown, 1 on a failure (unknown platform,\n"
        "unusable flash file or link), 2 on a bad command line. With --replay:\n"
        "0 when the host went through the whole trace, 1 when it diverged or\n"
        "stopped before the end.\n";
    return text;
}

}  // namespace flashwire::simd
