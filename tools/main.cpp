// flashwire: the command line. Runs one job of the library (flash, verify or
// read) on the option string given as arguments, shows its messages,
// status and progress, and exits with the job's error code.
//
// It uses the public API of the shared library only.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "cli_options.h"
#include "exit_codes.h"
#include "flashwire/flash_api.h"
#include "interrupts.h"
#include "job_session.h"
#include "json_output.h"
#include "platform/console.h"
#include "progress_display.h"
#include "reporter.h"

using namespace flashwire::cli;

namespace {

bool ColoursWanted(std::FILE* stream) {
    const char* noColor = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return IsTerminal(stream) && !(noColor && *noColor) && !(term && std::string(term) == "dumb") &&
           TerminalTakesEscapes(stream);
}

std::unique_ptr<Reporter> MakeReporter(bool json, bool quiet) {
    if (json) return std::make_unique<SynchronizedReporter>(std::make_unique<JsonOutput>(stdout));
    DisplaySettings settings;
    // The live bar redraws its line with escape sequences.
    settings.terminal = IsTerminal(stdout) && TerminalTakesEscapes(stdout);
    settings.color = ColoursWanted(stdout);
    settings.errorColor = ColoursWanted(stderr);
    settings.quiet = quiet;
    return std::make_unique<SynchronizedReporter>(std::make_unique<ProgressDisplay>(stdout, stderr, settings));
}

// The executable's directory when it holds "platform.def" (a build tree),
// else the installed data directory.
std::string DefaultConfigDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path exe = ExecutablePath();
    if (!exe.empty() && fs::is_regular_file(exe.parent_path() / "platform.def", ec)) return exe.parent_path().string();
    return FLASHWIRE_DATA_DIR;
}

// Reports the outcome and gives the exit status.
int Outcome(Reporter& reporter, uint32_t code) {
    char name[FLASH_ERROR_TEXT_SIZE] = {};
    FlashGetErrorString(code, name);
    const int status = ExitStatusFor(code);
    reporter.Result(code, name, status);
    return status;
}

int Fail(Reporter& reporter, uint32_t code, const std::string& text) {
    reporter.Error(text);
    return Outcome(reporter, code);
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of our output that goes away must not end a job half-way
    // (a flash half written): the writes fail quietly and the job goes on.
    IgnoreBrokenPipe();
    CliParseResult parsed = ParseCommandLine(argc, argv);
    switch (parsed.action) {
        case CliAction::Help:
            std::fputs(parsed.text.c_str(), stdout);
            return 0;
        case CliAction::Version:
            std::printf("%s\n", parsed.text.c_str());
            return 0;
        case CliAction::Error: {
            auto reporter = MakeReporter(parsed.json, false);
            return Fail(*reporter, ERR_BAD_CMDLINE, parsed.text);
        }
        case CliAction::Run:
            break;
    }
    const CliOptions& cli = parsed.options;
    auto reporter = MakeReporter(cli.json, cli.quiet);

    std::string optionString;
    std::string error;
    if (!JoinOptionArguments(cli.optionArguments, optionString, error))
        return Fail(*reporter, ERR_BAD_CMDLINE, error);
    if (optionString.empty())
        return Fail(*reporter, ERR_BAD_CMDLINE, "no option string given (see flashwire --help)");

    for (const PortMapping& mapping : cli.ports) {
        if (FlashMapPort(mapping.port, mapping.device.c_str()) != SUCCESS)
            return Fail(*reporter, ERR_BAD_PARAMS,
                        "--port COM" + std::to_string(mapping.port + 1) + "=" + mapping.device +
                            ": the library refused the device path");
    }

    // Before the library starts a thread: its threads then never see the signals.
    InterruptWatch interrupts;
    JobSession session(*reporter, interrupts, cli.timeoutSeconds);
    FlashOptions options{};
    if (const uint32_t rc = session.Init(options); rc != SUCCESS)
        return Fail(*reporter, rc, "the library could not bind a handle");

    // Absolute: the library would take a relative one from the current
    // directory of the moment the job runs.
    std::error_code ec;
    const std::filesystem::path chosen = cli.configDir.empty() ? DefaultConfigDir() : cli.configDir;
    const std::filesystem::path absolute = std::filesystem::absolute(chosen, ec);
    const std::string configDir = (ec ? chosen : absolute).string();
    if (const uint32_t rc = session.SetDataDirectory(configDir); rc != SUCCESS)
        return Fail(*reporter, rc, "the library refused the configuration directory " + configDir);

    if (!cli.traceFile.empty()) {
        if (const uint32_t rc = session.SetTraceFile(cli.traceFile); rc != SUCCESS) {
            return Fail(*reporter, rc,
                        "--trace " + cli.traceFile + ": cannot create the trace file" +
                            (rc == ERR_FILEIO ? " (check that its directory exists and is writable)" : ""));
        }
    }

    if (const uint32_t rc = session.ParseOptions(optionString, options); rc != SUCCESS)
        return Fail(*reporter, rc, "bad option string: " + optionString);

    return Outcome(*reporter, session.Run(options));
}
