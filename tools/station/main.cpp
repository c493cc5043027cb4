// flashwire-station: runs a flashing station (`flashwire-station run FILE`),
// reads its results back (`flashwire-station results`). docs/station.md.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "dashboard.h"
#include "result_store.h"
#include "station.h"
#include "station_file.h"
#include "worker.h"

namespace fs = flashwire::station;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string HumanBytes(int64_t bytes) {
    char text[32];
    if (bytes >= 1 << 20) std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    else if (bytes >= 1024) std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    return text;
}

// Plain lines for a person watching the terminal: slot states and results.
void PrintEvent(const fs::Json& e) {
    const std::string type = e.value("type", "");
    const std::string slot = e.value("slot", "");
    if (type == "slot") {
        std::printf("slot %s: %s%s%s\n", slot.c_str(), e.value("state", "").c_str(),
                    e.value("detail", "").empty() ? "" : ": ", e.value("detail", "").c_str());
    } else if (type == "row") {
        std::printf("slot %s: phone %s %s %s in %.1f s, %s at %s/s%s%s\n", slot.c_str(), e.value("phone", "").c_str(),
                    e.value("job", "").c_str(), e.value("result_name", "").c_str(), e.value("duration_s", 0.0),
                    HumanBytes(e.value("bytes", int64_t{0})).c_str(),
                    HumanBytes(static_cast<int64_t>(e.value("throughput_bps", 0.0))).c_str(),
                    e.value("last_error", "").empty() ? "" : ": ", e.value("last_error", "").c_str());
    } else if (type == "error") {
        std::printf("slot %s: error: %s\n", slot.c_str(), e.value("text", "").c_str());
    } else if (type == "station_end") {
        std::printf("station %s: %llu passed, %llu failed\n", e.value("stopped", false) ? "stopped" : "done",
                    static_cast<unsigned long long>(e.value("passes", uint64_t{0})),
                    static_cast<unsigned long long>(e.value("fails", uint64_t{0})));
    } else {
        return;
    }
    std::fflush(stdout);
}

// The station the serial reader hands lines to, while it runs: the reader
// stays blocked in its read after the station is gone.
std::mutex g_serialsMutex;
fs::Station* g_serialsStation = nullptr;

// "SLOT SERIAL" lines on standard input (a barcode scanner types them).
void ReadSerials(bool json) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.size() > 256) continue;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        const auto blank = line.find(' ');
        std::string error;
        if (blank == std::string::npos) {
            error = "expected a line \"SLOT SERIAL\"";
        } else {
            std::lock_guard lock(g_serialsMutex);
            if (g_serialsStation == nullptr) return;
            if (g_serialsStation->SetSerial(line.substr(0, blank), line.substr(line.find_first_not_of(' ', blank)),
                                            error)) {
                continue;
            }
        }
        if (json) continue;  // standard output is the scripts' only; the reason goes to stderr
        std::fprintf(stderr, "flashwire-station: \"%s\": %s\n", line.c_str(), error.c_str());
    }
}

int Run(const std::string& file, bool json, const std::string& http, const std::string& token, int phones) {
    std::string error;
    auto config = fs::LoadStationFile(file, error);
    if (!config) {
        std::fprintf(stderr, "flashwire-station: %s\n", error.c_str());
        return kExitUsage;
    }
    if (phones >= 0) config->phonesPerSlot = static_cast<uint32_t>(phones);
    if (config->configDir.empty()) {
        // As the command line: beside the program when "platform.def" is
        // there (the build tree), else the installed sample data.
        std::error_code ec;
        const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
        config->configDir = !ec && std::filesystem::exists(self / "platform.def", ec) ? self.string()
                                                                                       : FLASHWIRE_DATA_DIR;
    }
    fs::HttpAddress address;
    if (!http.empty()) {
        if (!fs::ParseHttpAddress(http, address, error)) {
            std::fprintf(stderr, "flashwire-station: %s\n", error.c_str());
            return kExitUsage;
        }
        if (!fs::IsLoopback(address.host) && token.empty()) {
            std::fprintf(stderr,
                         "flashwire-station: --http %s is reachable from other machines: give --http-token TOKEN "
                         "(every request must then carry it), or bind to 127.0.0.1\n",
                         http.c_str());
            return kExitUsage;
        }
    }
    auto store = fs::OpenResultStore(config->results, error);
    if (!store) {
        std::fprintf(stderr, "flashwire-station: %s\n", error.c_str());
        return kExitFailed;
    }

    // Signals are taken by one thread of our own; every other thread
    // (the library's included) has them blocked. Workers unblock them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    fs::Station station(std::move(*config), std::move(store));
    if (!station.Prepare(error)) {
        std::fprintf(stderr, "flashwire-station: %s\n", error.c_str());
        return kExitFailed;
    }
    std::mutex outMutex;
    if (json) {
        station.AddListener([&](const fs::Json& e) {
            const std::string line = e.dump(-1, ' ', false, fs::Json::error_handler_t::replace);
            std::lock_guard lock(outMutex);
            std::fputs(line.c_str(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        });
    } else {
        station.AddListener([&](const fs::Json& e) {
            std::lock_guard lock(outMutex);
            PrintEvent(e);
        });
    }
    std::unique_ptr<fs::Dashboard> dashboard;
    if (!http.empty()) {
        dashboard = std::make_unique<fs::Dashboard>(station, address, token);
        if (!dashboard->Start(error)) {
            std::fprintf(stderr, "flashwire-station: %s\n", error.c_str());
            return kExitFailed;
        }
        fs::Dashboard* d = dashboard.get();
        station.AddListener([d](const fs::Json& e) { d->Publish(e); });
        const std::string host = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
        std::fprintf(stderr, "flashwire-station: dashboard on http://%s:%d/\n", host.c_str(), dashboard->Port());
        if (json) {
            fs::Json e;
            e["type"] = "dashboard";
            e["url"] = "http://" + host + ":" + std::to_string(dashboard->Port()) + "/";
            std::lock_guard lock(outMutex);
            std::printf("%s\n", e.dump().c_str());
            std::fflush(stdout);
        }
    }

    std::atomic<bool> finished{false};
    std::thread signalThread([&] {
        int count = 0;
        timespec wait{0, 200 * 1000 * 1000};
        while (!finished.load()) {
            const int sig = sigtimedwait(&signals, nullptr, &wait);
            if (sig <= 0) continue;
            if (++count == 1) {
                std::fprintf(stderr,
                             "flashwire-station: %s: stopping, running jobs are aborted and recorded (again to quit "
                             "at once)\n",
                             strsignal(sig));
                station.Stop();
            } else {
                std::fprintf(stderr, "flashwire-station: interrupted again, quitting\n");
                station.KillWorkers();
                std::_Exit(130);
            }
        }
    });
    {
        std::lock_guard lock(g_serialsMutex);
        g_serialsStation = &station;
    }
    std::thread serials(ReadSerials, json);
    serials.detach();  // blocked in a read of standard input until it closes

    const int rc = station.Run();
    {
        std::lock_guard lock(g_serialsMutex);
        g_serialsStation = nullptr;
    }
    finished.store(true);
    signalThread.join();
    if (dashboard) dashboard->Stop();
    return rc == 0 ? kExitOk : kExitFailed;
}

// "2026-12-08", "2026-12-08T11:00[:00]" (UTC) or "30m", "2h", "7d" ago.
bool SinceText(const std::string& text, std::string& since) {
    static const std::regex absolute(R"(\d{4}-\d{2}-\d{2}(T\d{2}:\d{2}(:\d{2}(\.\d{1,3})?)?Z?)?)");
    static const std::regex relative(R"((\d{1,7})([smhd]))");
    std::smatch m;
    if (std::regex_match(text, absolute)) {
        since = text;
        if (!since.empty() && since.back() == 'Z') since.pop_back();
        return true;
    }
    if (!std::regex_match(text, m, relative)) return false;
    const long amount = std::stol(m[1]);
    const long unit = m[2] == "s" ? 1 : m[2] == "m" ? 60 : m[2] == "h" ? 3600 : 86400;
    const std::time_t t = std::time(nullptr) - amount * unit;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%S", &tm);
    since = out;
    return true;
}

int Results(const std::string& file, std::string target, bool csv, bool json, const std::string& sinceText) {
    std::string error;
    fs::ResultQuery query;
    if (!file.empty()) {
        auto config = fs::LoadStationFile(file, error);
        if (!config) {
            std::fprintf(stderr, "flashwire-station: %s\n", error.c_str());
            return kExitUsage;
        }
        target = config->results;
        query.station = config->name;
    }
    if (!sinceText.empty() && !SinceText(sinceText, query.since)) {
        std::fprintf(stderr,
                     "flashwire-station: --since %s: expected a UTC date and time (2026-12-08 or "
                     "2026-12-08T11:00:00) or an age (30s, 15m, 2h, 7d)\n",
                     sinceText.c_str());
        return kExitUsage;
    }
    if (!fs::IsPostgresUrl(target) && access(target.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "flashwire-station: no results file %s (has the station run yet?)\n", target.c_str());
        return kExitFailed;
    }
    auto store = fs::OpenResultStore(target, error);
    std::vector<fs::ResultRow> rows;
    if (!store || !store->Query(query, rows, error)) {
        std::fprintf(stderr, "flashwire-station: %s\n", error.c_str());
        return kExitFailed;
    }
    if (csv) {
        std::fputs(fs::RowsToCsv(rows).c_str(), stdout);
    } else if (json) {
        fs::Json list = fs::Json::array();
        for (const auto& row : rows) list.push_back(fs::RowToJson(row));
        std::printf("%s\n", list.dump(2, ' ', false, fs::Json::error_handler_t::replace).c_str());
    } else {
        std::printf("%-6s %-24s %-10s %-6s %-22s %-12s %-22s %8s %10s %s\n", "id", "ended (UTC)", "station", "slot",
                    "phone", "job", "result", "seconds", "bytes", "last error");
        for (const auto& r : rows) {
            std::printf("%-6lld %-24s %-10s %-6s %-22s %-12s %-22s %8.1f %10lld %s\n", static_cast<long long>(r.id),
                        r.endedAt.c_str(), r.station.c_str(), r.slot.c_str(), r.phone.c_str(), r.job.c_str(),
                        r.resultName.c_str(), r.durationSeconds, static_cast<long long>(r.bytes), r.lastError.c_str());
        }
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "worker") return flashwire::station::RunWorker();

    CLI::App app{"flashwire-station: flashes many phones at once, one slot per phone, and records every job's "
                 "result (docs/station.md)"};
    app.set_version_flag("--version", std::string("flashwire-station ") + FLASHWIRE_VERSION);
    app.require_subcommand(1);

    auto* run = app.add_subcommand("run", "run the station described in FILE until Ctrl-C or SIGTERM");
    std::string file;
    bool json = false;
    std::string http;
    std::string token;
    int phones = -1;
    run->add_option("FILE", file, "the station file (TOML)")->required();
    run->add_flag("--json", json, "one JSON object per line on standard output, each with its slot");
    run->add_option("--http", http, "serve the dashboard on ADDRESS:PORT (for example 127.0.0.1:8080)");
    run->add_option("--http-token", token, "a token every dashboard request must carry (required off localhost)");
    run->add_option("--phones", phones, "stop each slot after N phones (overrides phones_per_slot)")
        ->check(CLI::Range(0, 1000000));

    auto* results = app.add_subcommand("results", "print the recorded results");
    std::string stationFile;
    std::string database;
    bool csv = false;
    bool resultsJson = false;
    std::string since;
    auto* fileOption = results->add_option("--station", stationFile, "the station file: its results, its rows");
    results->add_option("--database", database, "a results file or postgresql:// URL: every station's rows")
        ->excludes(fileOption);
    auto* csvFlag = results->add_flag("--csv", csv, "CSV with a header line");
    results->add_flag("--json", resultsJson, "a JSON array")->excludes(csvFlag);
    results->add_option("--since", since, "rows that ended at or after a UTC time (2026-12-08T11:00) or an age (2h)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (run->parsed()) return Run(file, json, http, token, phones);
    if (stationFile.empty() && database.empty()) {
        std::fprintf(stderr, "flashwire-station: results: give --station FILE or --database FILE|URL\n");
        return kExitUsage;
    }
    return Results(stationFile, database, csv, resultsJson, since);
}
