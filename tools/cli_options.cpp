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
    "serial ports. The arguments that are not flags form the option string of the job.";

const char kFooter[] = R"(Without --config-dir: the executable's directory if it holds platform.def, else
)" FLASHWIRE_DATA_DIR R"(.

Option string (the arguments that are not flags; quote an argument with blanks for the shell):
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

Example:
  flashwire --port COM1=/dev/ttyUSB0 --port COM2=/dev/ttyUSB1 \
            /com=1,2 /mode=flash /file=image.s19 /platform=demo-passive /maxspeed=921600,921600

Exit status: the job's error code (0 on success, 1..31, 100); a bad command line or
option string gives 28 (ERR_BAD_CMDLINE), a bad --port device 31 (ERR_BAD_PARAMS),
an aborted job (Ctrl-C, --timeout) 3 (ERR_ABORT), a second Ctrl-C 130.)";

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

CliParseResult ParseCommandLine(int argc, char** argv) {
    CliParseResult result;
    CliOptions& o = result.options;
    std::vector<std::string> ports;
    bool version = false;

    CLI::App app(kDescription, "flashwire");
    app.formatter(std::make_shared<UsageFormatter>());
    app.get_formatter()->column_width(24);
    app.footer(kFooter);
    app.allow_extras();
    app.option_defaults()->group("Flags");
    app.set_help_flag("-h,--help", "print this help and exit");
    // Validators without a name, so that the help shows only the type names.
    const CLI::Validator portMapping(
        [](std::string& value) {
            return ParsePortMapping(value) ? std::string()
                                           : "expected COM<n>=DEVICE with n in 1..12, got " + value;
        },
        "");
    const CLI::Validator existingDirectory(
        [](std::string& value) {
            std::error_code ec;
            return std::filesystem::is_directory(value, ec) ? std::string() : "not a directory: " + value;
        },
        "");
    const CLI::Validator positiveSeconds(
        [](std::string& value) {
            double seconds = 0;
            const char* end = value.data() + value.size();
            const auto [stop, ec] = std::from_chars(value.data(), end, seconds);
            return ec == std::errc{} && stop == end && seconds > 0 && std::isfinite(seconds)
                       ? std::string()
                       : "expected a number of seconds above 0, got " + value;
        },
        "");
    app.add_option("--port", ports, "port n (1..12) opens DEVICE; repeatable")
        ->type_name("COMn=DEVICE")
        ->allow_extra_args(false)
        ->check(portMapping);
    app.add_option("--config-dir", o.configDir,
                   "where platform.def, flash.types and the loaders are (default: below)")
        ->type_name("DIR")
        ->check(existingDirectory);
    app.add_option("--timeout", o.timeoutSeconds, "abort the job when it runs longer than SECONDS")
        ->type_name("SECONDS")
        ->check(positiveSeconds);
    app.add_option("--trace", o.traceFile,
                   "record the serial traffic in FILE (docs/wire-trace.md; replayed by flashwire-sim --replay)")
        ->type_name("FILE");
    app.add_flag("--json", o.json, "one JSON object per line on standard output, nothing else there");
    app.add_flag("-q,--quiet", o.quiet, "only messages of levels 1 and 2, and a failed outcome");
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
