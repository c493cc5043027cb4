// The command line of `flashwire`: its own flags (parsed with CLI11), the
// subcommands that build the library's option string (flash, verify, read)
// or need no job (platforms, ports), and, in raw mode, the remaining
// arguments, which are joined into the option string.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashwire::cli {

// --port COM<n>=DEVICE: the zero-based port number and the device it opens.
struct PortMapping {
    uint32_t port = 0;
    std::string device;
};

enum class Command { Raw, Flash, Verify, Read, Platforms, Ports };

struct CliOptions {
    Command command = Command::Raw;
    std::vector<PortMapping> ports;
    std::string configDir;                        // empty: the default directory
    std::optional<double> timeoutSeconds;         // --timeout
    std::optional<double> connectTimeoutSeconds;  // --connect-timeout
    std::string traceFile;                        // --trace: empty for none
    bool json = false;
    bool quiet = false;
    bool verbose = false;  // level-0 lines and the option string
    bool dryRun = false;   // the option string, checked by the library; no job
    // Raw mode: the arguments that are not the command line's own flags, in
    // order. Subcommands: the option string's words they built.
    std::vector<std::string> optionArguments;
    // ports: the devices asked about (none: every serial device), and the
    // roots of the system's device tree and device directory.
    std::vector<std::string> devices;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
};

enum class CliAction { Run, Help, Version, Error };

struct CliParseResult {
    CliAction action = CliAction::Error;
    CliOptions options;
    // The help text, the version line or the error message.
    std::string text;
    // Set when --json was among the flags, even if the command line was bad,
    // so that an error can be reported as JSON too.
    bool json = false;
};

CliParseResult ParseCommandLine(int argc, char** argv);

// "COM3=/dev/ttyUSB0" (or "3=/dev/ttyUSB0"), COM1..COM12, any case.
std::optional<PortMapping> ParsePortMapping(std::string_view text);

// Joins the arguments into one option string, separated by blanks. An
// argument with a blank is quoted the way the option string expects: the
// value after the option's first '=' or ':' is put between double quotes
// ("/file=my image.s19" becomes /file="my image.s19"), a bare value (one that
// follows an argument ending in '=' or ':') is quoted whole, and a value that
// is already quoted is kept. Empty arguments are skipped. Returns false with
// an error text for an argument that the option string cannot express: a
// value with blanks and a double quote inside, or a word that is neither an
// option (starting with '/' or '-') nor the value of the argument before it.
bool JoinOptionArguments(const std::vector<std::string>& arguments, std::string& optionString,
                         std::string& error);

}  // namespace flashwire::cli
