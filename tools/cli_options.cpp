// The command line's own flags with CLI11; everything else is left, in order,
// for the option string.
#include "cli_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>

#include <CLI/CLI.hpp>

namespace flashwire::cli {
namespace {

constexpr uint32_t kPortCount = 12;

const char kDescription[] =
    "flashwire: flashes, verifies or reads the flash memory of a phone connected by one or two\n"
    "serial ports.";

const char kRawFooter[] = R"(Commands (flashwire COMMAND --help tells more):
  flash IMAGE          flash an S-record image into the phone
  verify IMAGE         compare the phone's flash with an image
  read RANGE... -o F   read address ranges of the phone into an S-record file
  platforms            the platforms of the data directory, their loaders and flash
  ports [DEVICE...]    the serial devices of this machine, to pick a --port

Raw mode: without a command, the arguments that are not flags form the library's
option string (docs/options.md describes every option):
  /platform=NAME       the platform section of "platform.def"
  /com=N[,N]           port number(s) to use (1..12)
  /mode=MODE           flash|verify|read
  /file=NAME           the S-record image to flash or verify
  /savefile=NAME       the S-record file a read writes
  /read=FIRST-LAST     an address range to read (repeatable)
  /reserved=FIRST-LAST an address range the flash job leaves alone (repeatable)
  /maxspeed=N[,N]      highest rate per port: 57600|115200|230400|460800|921600
  /phases=PHASE        all|bl|fl
  /erase=N             erase passes (1..8)
  /diff=0|1 /eraseunused=0|1 /extprotect=0|1 /noretry=0|1 /unattended=0|1 /debug=0|1
  Options also take the form -name:value.

Examples:
  flashwire flash --platform demo-passive --port /dev/ttyUSB0 --port /dev/ttyUSB1 --baud 921600 image.s19
  flashwire --port COM1=/dev/ttyUSB0 --port COM2=/dev/ttyUSB1 \
            /com=1,2 /mode=flash /file=image.s19 /platform=demo-passive /maxspeed=921600,921600

Data directory (platform.def, flash.types, loaders) without --config-dir: the first of
the executable's directory, <executable's directory>/../share/flashwire and )" FLASHWIRE_DATA_DIR R"(
that holds platform.def.

Exit status: the job's error code (0 on success, 1..31, 100); a bad command line or
option string gives 28 (ERR_BAD_CMDLINE), a bad --port device 31 (ERR_BAD_PARAMS),
an aborted job (Ctrl-C, --timeout, --connect-timeout) 3 (ERR_ABORT), a second Ctrl-C 130.)";

const char kJobFooter[] = R"(
--port DEVICE: the first --port is COM1, the second COM2 (COMn=DEVICE picks the number);
two ports make a two-port job. --baud limits every port's rate (default 115200).
Add -v to see the option string this command gives the library (the raw form).)";

// The usage line names the option string, which CLI11 does not know about.
class UsageFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string name) const override {
        return "Usage: " + name + " [FLAGS] OPTION...\n";
    }
};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool HasBlank(std::string_view text) { return text.find(' ') != std::string_view::npos; }

bool IsOptionWord(std::string_view text) { return !text.empty() && (text[0] == '/' || text[0] == '-'); }

// A value that is already between double quotes, with none inside.
bool IsQuoted(std::string_view value) {
    return value.size() >= 2 && value.front() == '"' && value.back() == '"' &&
           value.substr(1, value.size() - 2).find('"') == std::string_view::npos;
}

// Puts a value with blanks between double quotes; false when it holds a quote.
bool QuoteValue(std::string_view value, std::string& out) {
    if (!HasBlank(value) || IsQuoted(value)) {
        out += value;
        return true;
    }
    if (value.find('"') != std::string_view::npos) return false;
    out += '"';
    out += value;
    out += '"';
    return true;
}

}  // namespace

std::optional<PortMapping> ParsePortMapping(std::string_view text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view number = text.substr(0, equals);
    const std::string_view device = text.substr(equals + 1);
    if (number.size() > 3 && EqualsIgnoringCase(number.substr(0, 3), "com")) number.remove_prefix(3);
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc{} || end != number.data() + number.size() || value < 1 || value > kPortCount ||
        device.empty())
        return std::nullopt;
    return PortMapping{value - 1, std::string(device)};
}

bool JoinOptionArguments(const std::vector<std::string>& arguments, std::string& optionString,
                         std::string& error) {
    std::string out;
    bool valueExpected = false;  // the argument before ended in '=' or ':'
    for (const std::string& argument : arguments) {
        if (argument.empty()) continue;
        const std::string_view arg(argument);
        if (!out.empty()) out += ' ';
        if (valueExpected) {
            if (!QuoteValue(arg, out)) {
                error = "cannot pass a value with blanks and a double quote: " + argument;
                return false;
            }
            valueExpected = false;
            continue;
        }
        if (!IsOptionWord(arg)) {
            error = "not an option: \"" + argument + "\" (options start with / or -, for example /mode=flash)";
            return false;
        }
        const std::size_t separator = arg.find_first_of("=:");
        if (separator == std::string_view::npos) {
            // A bare option name; its blanks, if any, are the user's own mistake
            // and the library will say so.
            out += arg;
            continue;
        }
        out += arg.substr(0, separator + 1);
        if (!QuoteValue(arg.substr(separator + 1), out)) {
            error = "cannot pass a value with blanks and a double quote: " + argument;
            return false;
        }
        valueExpected = separator + 1 == arg.size();
    }
    optionString = std::move(out);
    return true;
}

namespace {

// Validators without a name, so that the help shows only the type names.
CLI::Validator PortMappingCheck(bool bareDevice) {
    return CLI::Validator(
        [bareDevice](std::string& value) {
            if (ParsePortMapping(value)) return std::string();
            if (bareDevice && !value.empty() && value.find('=') == std::string::npos) return std::string();
            return "expected COM<n>=DEVICE with n in 1..12" + std::string(bareDevice ? " or a device" : "") +
                   ", got " + value;
        },
        "");
}

CLI::Validator PositiveSeconds() {
    return CLI::Validator(
        [](std::string& value) {
            double seconds = 0;
            const char* end = value.data() + value.size();
            const auto [stop, ec] = std::from_chars(value.data(), end, seconds);
            return ec == std::errc{} && stop == end && seconds > 0 && std::isfinite(seconds)
                       ? std::string()
                       : "expected a number of seconds above 0, got " + value;
        },
        "");
}

// The flags every form of the command line has.
void AddCommonFlags(CLI::App& app, CliOptions& o) {
    app.add_option("--config-dir", o.configDir,
                   "where platform.def, flash.types and the loaders are (default: see flashwire --help)")
        ->type_name("DIR")
        ->check(CLI::Validator(
            [](std::string& value) {
                std::error_code ec;
                return std::filesystem::is_directory(value, ec) ? std::string() : "not a directory: " + value;
            },
            ""));
    app.add_flag("--json", o.json, "one JSON object per line on standard output, nothing else there");
    app.add_flag("-q,--quiet", o.quiet, "only messages of levels 1 and 2 and one outcome line");
    app.add_flag("-v,--verbose", o.verbose, "also the level-0 lines (option echoes, details) and the option string");
}

void AddJobFlags(CLI::App& app, CliOptions& o) {
    app.add_option("--timeout", o.timeoutSeconds, "abort the job when it runs longer than SECONDS")
        ->type_name("SECONDS")
        ->check(PositiveSeconds());
    app.add_option("--connect-timeout", o.connectTimeoutSeconds,
                   "abort when no phone answers within SECONDS of \"Power on mobile !\"")
        ->type_name("SECONDS")
        ->check(PositiveSeconds());
    app.add_option("--trace", o.traceFile,
                   "record the serial traffic in FILE (docs/wire-trace.md; replayed by flashwire-sim --replay)")
        ->type_name("FILE");
    app.add_flag("--dry-run", o.dryRun, "print the option string as the library reads it; run no job");
}

class CommandUsage : public CLI::Formatter {
public:
    explicit CommandUsage(std::string usage) : usage_(std::move(usage)) {}
    std::string make_usage(const CLI::App*, std::string) const override { return "Usage: " + usage_ + "\n"; }

private:
    std::string usage_;
};

// The words of a subcommand's flags that build the option string.
struct JobWords {
    std::vector<std::string> ports;  // --port, in order
    std::string platform;
    std::optional<uint32_t> baud;
    std::string phases;
    std::vector<std::string> reserved;
    std::vector<std::string> ranges;  // read
    std::string image;
    std::string output;
    bool diff = false;
    bool eraseUnused = false;
    bool noRetry = false;
    bool debug = false;
};

constexpr uint32_t kRates[] = {57600, 115200, 230400, 460800, 921600};

// Builds the option string's words of a flash, verify or read command; false
// with an error text for ports that do not make a job.
bool BuildJobWords(Command command, const JobWords& w, CliOptions& o, std::string& error) {
    std::vector<uint32_t> numbers;
    for (std::size_t i = 0; i < w.ports.size(); ++i) {
        PortMapping mapping;
        if (auto parsed = ParsePortMapping(w.ports[i])) {
            mapping = *parsed;
        } else {
            mapping.port = static_cast<uint32_t>(i);
            mapping.device = w.ports[i];
        }
        if (std::find(numbers.begin(), numbers.end(), mapping.port) != numbers.end()) {
            error = "--port: COM" + std::to_string(mapping.port + 1) + " is given twice";
            return false;
        }
        numbers.push_back(mapping.port);
        o.ports.push_back(std::move(mapping));
    }
    if (numbers.size() > 2) {
        error = "--port: a job uses one or two ports, " + std::to_string(numbers.size()) + " were given";
        return false;
    }
    std::vector<std::string>& words = o.optionArguments;
    const char* mode = command == Command::Flash ? "flash" : command == Command::Verify ? "verify" : "read";
    words.push_back(std::string("/mode=") + mode);
    words.push_back("/platform=" + w.platform);
    if (!numbers.empty()) {
        std::string com = "/com=";
        for (std::size_t i = 0; i < numbers.size(); ++i) com += (i ? "," : "") + std::to_string(numbers[i] + 1);
        words.push_back(com);
    }
    if (w.baud) {
        std::string rate = "/maxspeed=" + std::to_string(*w.baud);
        if (numbers.size() == 2) rate += "," + std::to_string(*w.baud);
        words.push_back(rate);
    }
    if (command == Command::Read) {
        words.push_back("/savefile=" + w.output);
        for (const std::string& r : w.ranges) words.push_back("/read=" + r);
    } else {
        words.push_back("/file=" + w.image);
    }
    if (command == Command::Flash) {
        for (const std::string& r : w.reserved) words.push_back("/reserved=" + r);
        // The library's default is /diff=1; the command writes every sector
        // the image touches unless --diff is given.
        words.push_back(w.diff ? "/diff=1" : "/diff=0");
        if (w.eraseUnused) words.push_back("/eraseunused=1");
    }
    if (w.noRetry) words.push_back("/noretry=1");
    if (!w.phases.empty()) words.push_back("/phases=" + w.phases);
    if (w.debug) words.push_back("/debug=1");
    return true;
}

// A value of the option string cannot hold a double quote together with a
// blank, and an empty one would take the next option as its value.
CLI::Validator OptionValue() {
    return CLI::Validator(
        [](std::string& value) {
            if (value.empty()) return std::string("an empty value");
            return std::string();
        },
        "");
}

CliParseResult ParseSubcommand(Command command, const std::string& name, std::vector<std::string> args) {
    CliParseResult result;
    CliOptions& o = result.options;
    o.command = command;
    JobWords w;

    CLI::App app;
    app.name("flashwire " + name);
    app.get_formatter()->column_width(26);
    app.option_defaults()->group("Flags");
    app.set_help_flag("-h,--help", "print this help and exit");
    AddCommonFlags(app, o);
    const bool job = command == Command::Flash || command == Command::Verify || command == Command::Read;
    std::string usage;
    std::string footer;
    if (job) {
        AddJobFlags(app, o);
        app.add_option("--platform", w.platform, "the platform: a section of platform.def (flashwire platforms)")
            ->type_name("NAME")
            ->required()
            ->check(OptionValue());
        app.add_option("--port", w.ports, "a serial device; the first is COM1, the second COM2")
            ->type_name("DEVICE|COMn=DEVICE")
            ->required()
            ->allow_extra_args(false)
            ->check(PortMappingCheck(true));
        app.add_option("--baud", w.baud, "highest rate of every port (57600|115200|230400|460800|921600)")
            ->type_name("RATE")
            ->check(CLI::IsMember(std::vector<uint32_t>(std::begin(kRates), std::end(kRates))).name(""));
        app.add_option("--phases", w.phases, "all, bl (boot loader stage only) or fl (flash loader left running)")
            ->type_name("PHASE")
            ->check(CLI::IsMember({"all", "bl", "fl"}, CLI::ignore_case).name(""));
        app.add_flag("--no-retry", w.noRetry, "no retry after a failed exchange");
        app.add_flag("--debug", w.debug, "the library's debug lines (protocol detail; implies -v)");
    }
    switch (command) {
        case Command::Flash:
            app.description("Flashes an S-record image into the phone.");
            app.add_option("IMAGE", w.image, "the S-record image")->required()->check(OptionValue());
            app.add_flag("--diff", w.diff, "write only the sectors whose contents differ");
            app.add_flag("--erase-unused", w.eraseUnused, "also erase the flash the image does not use (slow)");
            app.add_option("--reserved", w.reserved, "a range the image must not write (repeatable)")
                ->type_name("FIRST-LAST")
                ->allow_extra_args(false);
            usage = "flashwire flash --platform NAME [--port DEVICE]... [FLAGS] IMAGE";
            footer = R"(
Examples:
  flashwire flash --platform demo-passive --port /dev/ttyUSB0 image.s19
  flashwire flash --platform demo-passive --port /dev/ttyUSB0 --port /dev/ttyUSB1 --baud 921600 --diff image.s19
  flashwire flash --platform demo-active --port COM3=/dev/ttyACM0 --reserved 0x7e000-0x7ffff image.s19)";
            break;
        case Command::Verify:
            app.description("Compares the phone's flash with an S-record image.");
            app.add_option("IMAGE", w.image, "the S-record image")->required()->check(OptionValue());
            usage = "flashwire verify --platform NAME [--port DEVICE]... [FLAGS] IMAGE";
            footer = R"(
Examples:
  flashwire verify --platform demo-passive --port /dev/ttyUSB0 image.s19
  flashwire verify --platform demo-passive --port /dev/ttyUSB0 --port /dev/ttyUSB1 --baud 921600 image.s19)";
            break;
        case Command::Read:
            app.description("Reads address ranges of the phone into an S-record file.");
            app.add_option("RANGE", w.ranges, "FIRST-LAST, both inclusive (0x1000-0x1fff or 4096-8191)")
                ->required()
                ->check(OptionValue());
            app.add_option("-o,--output", w.output, "the S-record file to write")
                ->type_name("FILE")
                ->required()
                ->check(OptionValue());
            usage = "flashwire read --platform NAME [--port DEVICE]... [FLAGS] RANGE... -o FILE";
            footer = R"(
Examples:
  flashwire read --platform demo-passive --port /dev/ttyUSB0 0x0-0xffff -o boot.s19
  flashwire read --platform demo-passive --port /dev/ttyUSB0 0x0-0x1fff 0x10000-0x1ffff -o parts.s19)";
            break;
        case Command::Platforms:
            app.description("Lists the platforms of platform.def with their boot loader, loaders and flash banks.");
            usage = "flashwire platforms [--config-dir DIR] [--json]";
            footer = R"(
Examples:
  flashwire platforms
  flashwire platforms --config-dir /opt/flashwire/share/flashwire --json)";
            break;
        case Command::Ports:
            app.description(
                "Lists the serial devices of this machine with what tells them apart (driver, USB\n"
                "vendor:product, serial number, maker and product, the stable /dev/serial/by-id link),\n"
                "or describes the DEVICEs given.");
            app.add_option("DEVICE", o.devices, "a device to describe (a link is followed)");
            app.add_option("--sysfs", o.sysfsRoot, "the system's device tree (default /sys)")->type_name("DIR");
            app.add_option("--dev", o.devRoot, "the device directory (default /dev)")->type_name("DIR");
            usage = "flashwire ports [--json] [DEVICE...]";
            footer = R"(
Examples:
  flashwire ports
  flashwire ports /dev/ttyUSB0 --json)";
            break;
        case Command::Raw:
            break;
    }
    if (job) footer += kJobFooter;
    app.formatter(std::make_shared<CommandUsage>(usage));
    app.get_formatter()->column_width(26);
    app.footer(footer);

    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg == "--json") result.json = true;
    }
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        result.action = CliAction::Help;
        result.text = app.help();
        return result;
    } catch (const CLI::ParseError& e) {
        result.action = CliAction::Error;
        result.text = std::string(e.what()) + " (see flashwire " + name + " --help)";
        return result;
    }
    if (job) {
        if (!BuildJobWords(command, w, o, result.text)) {
            result.action = CliAction::Error;
            return result;
        }
        if (w.debug) o.verbose = true;
    }
    result.action = CliAction::Run;
    return result;
}

struct CommandName {
    const char* name;
    Command command;
};
constexpr CommandName kCommands[] = {{"flash", Command::Flash},         {"verify", Command::Verify},
                                     {"read", Command::Read},           {"platforms", Command::Platforms},
                                     {"ports", Command::Ports}};

// The flags of raw mode that take a value in the next argument.
bool TakesValue(std::string_view arg) {
    return arg == "--port" || arg == "--config-dir" || arg == "--timeout" || arg == "--connect-timeout";
}

}  // namespace

CliParseResult ParseCommandLine(int argc, char** argv) {
    // A command is the first argument that is neither a flag nor a flag's value.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--") break;
        if (!arg.empty() && arg[0] == '-') {
            if (TakesValue(arg)) ++i;
            continue;
        }
        for (const CommandName& c : kCommands) {
            if (arg != c.name) continue;
            std::vector<std::string> rest;
            for (int k = 1; k < argc; ++k)
                if (k != i) rest.emplace_back(argv[k]);
            return ParseSubcommand(c.command, c.name, std::move(rest));
        }
        break;
    }

    CliParseResult result;
    CliOptions& o = result.options;
    std::vector<std::string> ports;
    bool version = false;

    CLI::App app(kDescription, "flashwire");
    app.formatter(std::make_shared<CommandUsage>("flashwire COMMAND ... | flashwire [FLAGS] OPTION..."));
    app.get_formatter()->column_width(24);
    app.footer(kRawFooter);
    app.allow_extras();
    app.option_defaults()->group("Flags");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.add_option("--port", ports, "port n (1..12) opens DEVICE; repeatable")
        ->type_name("COMn=DEVICE")
        ->allow_extra_args(false)
        ->check(PortMappingCheck(false));
    AddCommonFlags(app, o);
    AddJobFlags(app, o);
    app.add_flag("--version", version, "print the version and exit");

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--") break;
        if (arg == "--json") result.json = true;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        result.action = CliAction::Help;
        result.text = app.help();
        return result;
    } catch (const CLI::ParseError& e) {
        result.action = CliAction::Error;
        result.text = e.what();
        return result;
    }
    if (version) {
        result.action = CliAction::Version;
        result.text = std::string("flashwire ") + FLASHWIRE_VERSION;
        return result;
    }
    for (const std::string& p : ports) o.ports.push_back(*ParsePortMapping(p));

    // What CLI11 did not take: the option string's words, in order. A "--"
    // ends the flags (it is kept in the list); before it, a word starting
    // with "--" is a flag this program does not have.
    bool afterSeparator = false;
    for (std::string& word : app.remaining()) {
        if (!afterSeparator && word == "--") {
            afterSeparator = true;
            continue;
        }
        if (!afterSeparator && StartsWith(word, "--")) {
            result.action = CliAction::Error;
            result.text = "unknown flag " + word + " (see --help)";
            return result;
        }
        o.optionArguments.push_back(std::move(word));
    }
    result.action = CliAction::Run;
    return result;
}

}  // namespace flashwire::cli
