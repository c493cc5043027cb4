// flashwire: the command line. Runs one job of the library (flash, verify or
// read) on the option string given as arguments or built by a command, shows
// its messages, status and progress, and exits with the job's error code;
// lists the platforms of the data directory and the serial devices of the
// machine.
//
// It uses the public API of the shared library only.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "cli_options.h"
#include "data_directory.h"
#include "exit_codes.h"
#include "flashwire/flash_api.h"
#include "interrupts.h"
#include "job_session.h"
#include "json_output.h"
#include "line_notes.h"
#include "platform/console.h"
#include "platform/serial_devices.h"
#include "platform_catalog.h"
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

std::unique_ptr<Reporter> MakeReporter(bool json, bool quiet, bool verbose) {
    if (json) return std::make_unique<SynchronizedReporter>(std::make_unique<JsonOutput>(stdout));
    DisplaySettings settings;
    // The live bar redraws its line with escape sequences.
    settings.terminal = IsTerminal(stdout) && TerminalTakesEscapes(stdout);
    settings.color = ColoursWanted(stdout);
    settings.errorColor = ColoursWanted(stderr);
    settings.quiet = quiet;
    settings.verbose = verbose && !quiet;
    return std::make_unique<SynchronizedReporter>(std::make_unique<ProgressDisplay>(stdout, stderr, settings));
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

std::string Text(const char* field, std::size_t size) {
    std::size_t n = 0;
    while (n < size && field[n] != '\0') ++n;
    return std::string(field, n);
}

std::string DataDirectory(const CliOptions& cli) {
    // Absolute: the library would take a relative one from the current
    // directory of the moment the job runs.
    std::error_code ec;
    const std::filesystem::path chosen = cli.configDir.empty() ? DefaultDataDirectory() : cli.configDir;
    const std::filesystem::path absolute = std::filesystem::absolute(chosen, ec);
    return (ec ? chosen : absolute).string();
}

// flashwire platforms
int ListPlatforms(const CliOptions& cli) {
    const std::string directory = DataDirectory(cli);
    std::vector<PlatformSummary> platforms;
    std::string error;
    if (!ReadPlatforms(directory, platforms, error)) {
        auto reporter = MakeReporter(cli.json, cli.quiet, cli.verbose);
        return Fail(*reporter, ERR_BAD_PLATFORM, error + " (--config-dir chooses the data directory)");
    }
    if (cli.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const PlatformSummary& p : platforms) {
            nlohmann::ordered_json o;
            o["name"] = p.name;
            o["boot_loader"] = p.bootLoader;
            o["memory_interface"] = p.memoryInterface;
            o["setup_loader"] = p.setupLoader;
            o["flash_loader"] = p.flashLoader;
            o["flash_banks"] = p.banks;
            o["chips"] = p.chips;
            list.push_back(o);
        }
        nlohmann::ordered_json out;
        out["type"] = "platforms";
        out["directory"] = directory;
        out["platforms"] = list;
        std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return 0;
    }
    std::printf("Platforms of %s/platform.def:\n", directory.c_str());
    for (const PlatformSummary& p : platforms) {
        std::printf("\n%s\n", p.name.c_str());
        std::printf("  boot loader:   %s (memory interface %s)\n", p.bootLoader.empty() ? "-" : p.bootLoader.c_str(),
                    p.memoryInterface.c_str());
        if (!p.setupLoader.empty()) std::printf("  setup loader:  %s\n", p.setupLoader.c_str());
        std::printf("  flash loader:  %s\n", p.flashLoader.empty() ? "-" : p.flashLoader.c_str());
        for (std::size_t i = 0; i < p.banks.size(); ++i)
            std::printf("  flash bank %zu:  %s\n", i, p.banks[i].c_str());
        for (const std::string& chip : p.chips) std::printf("  chip:          %s\n", chip.c_str());
    }
    return 0;
}

// flashwire ports
int ListPorts(const CliOptions& cli) {
    DeviceRoots roots;
    roots.sysfs = cli.sysfsRoot;
    roots.dev = cli.devRoot;
    std::vector<SerialDeviceInfo> devices;
    if (cli.devices.empty()) {
        devices = ListSerialDevices(roots);
    } else {
        for (const std::string& d : cli.devices) devices.push_back(DescribeSerialDevice(d, roots));
    }
    bool problems = false;
    for (const SerialDeviceInfo& d : devices) problems = problems || !d.problem.empty();
    if (cli.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const SerialDeviceInfo& d : devices) {
            nlohmann::ordered_json o;
            o["device"] = d.device;
            o["target"] = d.target;
            o["kind"] = d.kind;
            o["driver"] = d.driver;
            o["vendor_id"] = d.vendorId;
            o["product_id"] = d.productId;
            o["serial_number"] = d.serialNumber;
            o["manufacturer"] = d.manufacturer;
            o["product"] = d.product;
            o["by_id"] = d.byId;
            if (!cli.devices.empty()) o["problem"] = d.problem;
            list.push_back(o);
        }
        nlohmann::ordered_json out;
        out["type"] = "ports";
        out["ports"] = list;
        std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return problems ? ERR_COM : 0;
    }
    if (devices.empty()) std::printf("No serial devices found.\n");
    for (const SerialDeviceInfo& d : devices) {
        std::string line = d.device;
        if (!d.target.empty()) line += " -> " + d.target;
        if (!d.kind.empty()) line += "  " + d.kind;
        if (!d.driver.empty()) line += "  driver " + d.driver;
        if (!d.vendorId.empty()) line += "  " + d.vendorId + ":" + d.productId;
        if (!d.serialNumber.empty()) line += "  serial " + d.serialNumber;
        std::printf("%s\n", line.c_str());
        if (!d.manufacturer.empty() || !d.product.empty())
            std::printf("    %s%s%s\n", d.manufacturer.c_str(), d.manufacturer.empty() ? "" : " ", d.product.c_str());
        if (!d.byId.empty()) std::printf("    %s\n", d.byId.c_str());
        if (!cli.devices.empty())
            std::printf("    %s\n", d.problem.empty() ? "opens as a serial port" : ("cannot be used: " + d.problem).c_str());
    }
    return problems ? ERR_COM : 0;
}

const char* ModeName(uint32_t mode) { return mode == 0 ? "flash" : mode == 1 ? "verify" : "read"; }

// Why FlashLoad refused the options at once (ERR_BAD_PARAMS, no line of its
// own): the checks a parsed option string can still fail.
std::string RefusedOptions(const FlashOptions& options) {
    const uint32_t port = options.comPort[0];
    const uint32_t passes = options.erasePasses;
    if (port >= FLASH_PORT_UNUSED) return "the job has no port: give /com=N (or --port DEVICE with a command)";
    if (options.mode == 0 && passes > 8) return "/erase=" + std::to_string(passes) + " is above 8";
    return "the library refused the job's options (docs/options.md gives their limits)";
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
            auto reporter = MakeReporter(parsed.json, false, false);
            return Fail(*reporter, ERR_BAD_CMDLINE, parsed.text);
        }
        case CliAction::Run:
            break;
    }
    const CliOptions& cli = parsed.options;
    if (cli.command == Command::Platforms) return ListPlatforms(cli);
    if (cli.command == Command::Ports) return ListPorts(cli);
    auto reporter = MakeReporter(cli.json, cli.quiet, cli.verbose);

    std::string optionString;
    std::string error;
    if (!JoinOptionArguments(cli.optionArguments, optionString, error))
        return Fail(*reporter, ERR_BAD_CMDLINE, error);
    if (optionString.empty())
        return Fail(*reporter, ERR_BAD_CMDLINE, "no option string given (see flashwire --help)");
    if (cli.verbose || cli.dryRun) reporter->Info("option string: " + optionString);

    for (const PortMapping& mapping : cli.ports) {
        if (FlashMapPort(mapping.port, mapping.device.c_str()) != SUCCESS)
            return Fail(*reporter, ERR_BAD_PARAMS,
                        "--port COM" + std::to_string(mapping.port + 1) + "=" + mapping.device +
                            ": the library refused the device path");
    }

    // Before the library starts a thread: its threads then never see the signals.
    InterruptWatch interrupts;
    JobSession session(*reporter, interrupts, cli.timeoutSeconds, cli.connectTimeoutSeconds);
    FlashOptions options{};
    if (const uint32_t rc = session.Init(options); rc != SUCCESS)
        return Fail(*reporter, rc, "the library could not bind a handle");

    const std::string configDir = DataDirectory(cli);
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

    JobFacts facts;
    for (uint32_t port = 0; port < facts.devices.size(); ++port) facts.devices[port] = DefaultSerialDevice(port);
    for (const PortMapping& mapping : cli.ports) facts.devices[mapping.port] = mapping.device;
    facts.file = Text(options.file, sizeof options.file);
    facts.saveFile = Text(options.saveFile, sizeof options.saveFile);
    const uint32_t firstPort = options.comPort[0] < facts.devices.size() ? options.comPort[0] : 0;
    session.Prepare(facts, "COM" + std::to_string(firstPort + 1) + " (" + facts.devices[firstPort] + ")");

    // A flash or verify job needs an image.
    if (options.mode <= 1 && options.file[0] == '\0')
        return Fail(*reporter, ERR_BAD_CMDLINE,
                    std::string("/mode=") + ModeName(options.mode) + " needs an image: add /file=IMAGE (or run flashwire " +
                        ModeName(options.mode) + " IMAGE)");

    // A read job writes its file at the end: a file that cannot be written is
    // said before the phone is read, not after.
    if (options.mode == 2 && options.saveFile[0] != '\0') {
        const std::string problem = FileProblem(Text(options.saveFile, sizeof options.saveFile), true);
        if (!problem.empty()) return Fail(*reporter, ERR_WRONG_FILE_SAVE, "cannot write the read data: " + problem);
    }

    if (cli.dryRun) {
        char canonical[4096] = {};
        const uint32_t rc = FlashMakeOptionString(&options, canonical, sizeof canonical);
        if (rc != SUCCESS) return Fail(*reporter, rc, "the library could not write the option string back");
        reporter->Info(std::string("as the library reads it: ") + canonical);
        return Outcome(*reporter, SUCCESS);
    }

    const uint32_t rc = session.Run(options);
    if (rc == ERR_BAD_PARAMS) return Fail(*reporter, rc, RefusedOptions(options));
    if (rc == ERR_BAD_PLATFORM) {
        const std::string note = BadPlatformNote(configDir, Text(options.platform, sizeof options.platform));
        if (!note.empty()) reporter->Note(2, note);
    }
    return Outcome(*reporter, rc);
}
