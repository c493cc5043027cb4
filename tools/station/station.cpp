#include "station.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "flashwire/flash_api.h"

namespace flashwire::station {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kPortPoll = std::chrono::milliseconds(250);
constexpr double kAbortGraceSeconds = 20.0;  // the library polls its abort about every 750 ms
constexpr std::size_t kMaxWorkerLine = 1 << 20;
constexpr std::size_t kMaxEarlyLines = 2000;  // log lines kept until the phone is known

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Compact(const std::string& utc) {
    std::string out;
    for (char c : utc) {
        if (c != '-' && c != ':' && c != '.') out += c;
    }
    return out;
}

bool PortPresent(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

struct Station::SlotState {
    std::size_t index = 0;
    Slot cfg;
    // The worker process.
    std::atomic<pid_t> pid{-1};  // read by KillWorkers from the signal thread
    int toWorker = -1;
    int fromWorker = -1;
    std::string input;  // bytes read from the worker, not yet a whole line
    std::mutex writeMutex;
    int64_t jobSeq = 0;
    std::thread thread;
    int64_t counter = 0;  // the last number the station gave a phone of this slot

    // What the dashboard shows; guarded by mutex.
    mutable std::mutex mutex;
    std::string state = "starting";
    std::string detail;
    std::string phase;
    std::string phone;
    std::string job;
    std::string lastResult;
    std::string lastPhone;
    uint32_t percent = 0;
    uint64_t done = 0;
    uint64_t total = 0;
    double phaseStarted = 0;
    double throughput = 0;
    double eta = -1;
    uint64_t passes = 0;
    uint64_t fails = 0;
    uint64_t phonesDone = 0;
    std::string pendingSerial;
    bool storeBroken = false;  // a row of this slot could not be recorded
};

struct Station::JobOutcome {
    uint32_t code = ERR_UNKNOWN;
    std::string name;
    bool phonePresent = false;
    std::string startedAt;
    std::string endedAt;
    double duration = 0;
    uint64_t bytes = 0;
    double throughput = 0;
    std::string chipIds;
    std::string lastError;
    std::string logPath;
};

Station::Station(StationConfig config, std::unique_ptr<ResultStore> store)
    : config_(std::move(config)), store_(std::move(store)) {
    for (std::size_t i = 0; i < config_.slots.size(); ++i) {
        auto slot = std::make_unique<SlotState>();
        slot->index = i;
        slot->cfg = config_.slots[i];
        slots_.push_back(std::move(slot));
    }
}

Station::~Station() {
    Stop();
    for (auto& slot : slots_) {
        if (slot->thread.joinable()) slot->thread.join();
        StopWorker(*slot);
    }
}

bool Station::Prepare(std::string& error) {
    std::map<std::string, SrecImage> byPath;
    for (auto& slot : slots_) {
        auto it = byPath.find(slot->cfg.image);
        if (it == byPath.end()) {
            SrecImage image;
            if (!ReadSrecImage(slot->cfg.image, image, error)) {
                error = "slot " + slot->cfg.name + ": " + error;
                return false;
            }
            if (image.regions.empty()) {
                error = "slot " + slot->cfg.name + ": the image " + slot->cfg.image + " holds no data records";
                return false;
            }
            it = byPath.emplace(slot->cfg.image, std::move(image)).first;
        }
        images_.push_back(it->second);
        std::lock_guard lock(storeMutex_);
        if (!store_->LastPhoneNumber(config_.name, slot->cfg.name, slot->counter, error)) return false;
    }
    std::error_code ec;
    fs::create_directories(config_.logDir, ec);
    if (ec) {
        error = "cannot create the log folder " + config_.logDir + ": " + ec.message();
        return false;
    }
    return true;
}

void Station::AddListener(EventListener listener) {
    std::lock_guard lock(listenersMutex_);
    listeners_.push_back(std::move(listener));
}

double Station::Now() const { return std::round(Seconds(Clock::now() - started_) * 1000.0) / 1000.0; }

void Station::Publish(Json event) {
    std::lock_guard lock(listenersMutex_);
    for (auto& listener : listeners_) listener(event);
}

Json Station::SlotJson(const SlotState& s) const {
    Json j;
    j["type"] = "slot";
    j["time"] = Now();
    j["slot"] = s.cfg.name;
    std::lock_guard lock(s.mutex);
    j["state"] = s.state;
    j["detail"] = s.detail;
    j["phone"] = s.phone;
    j["job"] = s.job;
    j["phase"] = s.phase;
    j["percent"] = s.percent;
    j["done"] = s.done;
    j["total"] = s.total;
    j["throughput"] = static_cast<int64_t>(std::llround(s.throughput));
    j["eta"] = s.eta < 0 ? Json(nullptr) : Json(std::round(s.eta * 10) / 10);
    j["last_phone"] = s.lastPhone;
    j["last_result"] = s.lastResult;
    j["passes"] = s.passes;
    j["fails"] = s.fails;
    j["ports"] = s.cfg.ports;
    return j;
}

void Station::PublishSlot(SlotState& slot) { Publish(SlotJson(slot)); }

Json Station::SlotsJson() const {
    Json list = Json::array();
    for (const auto& slot : slots_) {
        Json j = SlotJson(*slot);
        j.erase("type");
        j.erase("time");
        list.push_back(std::move(j));
    }
    return list;
}

Json RowToJson(const ResultRow& r) {
    Json j;
    j["id"] = r.id;
    j["station"] = r.station;
    j["slot"] = r.slot;
    j["phone"] = r.phone;
    j["phone_number"] = r.phoneNumber ? Json(*r.phoneNumber) : Json(nullptr);
    j["chip_ids"] = r.chipIds;
    j["recipe"] = r.recipe;
    j["image_crc32"] = r.imageCrc32;
    j["job"] = r.job;
    j["started_at"] = r.startedAt;
    j["ended_at"] = r.endedAt;
    j["duration_s"] = std::round(r.durationSeconds * 1000) / 1000;
    j["bytes"] = r.bytes;
    j["throughput_bps"] = static_cast<int64_t>(std::llround(r.throughput));
    j["result_code"] = r.resultCode;
    j["result_name"] = r.resultName;
    j["last_error"] = r.lastError;
    j["log_path"] = r.logPath;
    return j;
}

std::string RowsToCsv(const std::vector<ResultRow>& rows) {
    std::ostringstream out;
    const auto& columns = ResultColumns();
    for (std::size_t i = 0; i < columns.size(); ++i) out << (i ? "," : "") << columns[i];
    out << "\r\n";
    for (const auto& row : rows) {
        const Json j = RowToJson(row);
        bool first = true;
        for (const auto& column : columns) {
            const Json& v = j.at(column);
            std::string text = v.is_string() ? v.get<std::string>() : v.is_null() ? "" : v.dump();
            if (text.find_first_of(",\"\r\n") != std::string::npos) {
                std::string quoted = "\"";
                for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
                text = quoted + "\"";
            }
            out << (first ? "" : ",") << text;
            first = false;
        }
        out << "\r\n";
    }
    return out.str();
}

Json Station::ResultsJson(std::size_t limit) const {
    std::vector<ResultRow> rows;
    std::string error;
    ResultQuery query;
    query.station = config_.name;
    query.limit = limit;
    {
        std::lock_guard lock(storeMutex_);
        if (!store_->Query(query, rows, error)) return Json{{"error", error}};
    }
    Json list = Json::array();
    for (const auto& row : rows) list.push_back(RowToJson(row));
    return list;
}

std::string Station::ResultsCsv() const {
    std::vector<ResultRow> rows;
    std::string error;
    ResultQuery query;
    query.station = config_.name;
    std::lock_guard lock(storeMutex_);
    store_->Query(query, rows, error);
    return RowsToCsv(rows);
}

bool Station::SetSerial(const std::string& slotName, const std::string& serial, std::string& error) {
    if (serial.empty() || serial.size() > 64) {
        error = "a serial is 1 to 64 characters";
        return false;
    }
    for (char c : serial) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ':')) {
            error = "a serial holds letters, digits, '-', '_', '.' and ':' only";
            return false;
        }
    }
    for (auto& slot : slots_) {
        if (slot->cfg.name != slotName) continue;
        {
            std::lock_guard lock(slot->mutex);
            slot->pendingSerial = serial;
            slot->detail = "next phone: " + serial;
        }
        PublishSlot(*slot);
        return true;
    }
    error = "no slot named " + slotName;
    return false;
}

void Station::Stop() {
    stopping_.store(true);
    stopWake_.notify_all();
}

void Station::KillWorkers() {
    for (auto& slot : slots_) {
        if (slot->pid > 0) ::kill(slot->pid, SIGKILL);
    }
}

bool Station::StartWorker(SlotState& slot) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::setpgid(0, 0);  // Ctrl-C in the terminal is the station's, not the worker's
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execl("/proc/self/exe", "flashwire-station", "worker", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    slot.pid = pid;
    slot.toWorker = in[1];
    slot.fromWorker = out[0];
    slot.input.clear();
    return true;
}

void Station::StopWorker(SlotState& slot) {
    if (slot.toWorker >= 0) ::close(slot.toWorker);  // end of input: the worker ends
    if (slot.pid > 0) {
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(slot.pid, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (i == 99) {
                ::kill(slot.pid, SIGKILL);
                ::waitpid(slot.pid, &status, 0);
            }
        }
    }
    if (slot.fromWorker >= 0) ::close(slot.fromWorker);
    slot.toWorker = slot.fromWorker = -1;
    slot.pid = -1;
}

Station::JobOutcome Station::RunJob(SlotState& slot, JobKind kind, bool firstJob) {
    JobOutcome o;
    o.startedAt = UtcNow();
    const auto start = Clock::now();
    const int64_t job = ++slot.jobSeq;
    const SrecImage& image = images_[slot.index];

    std::string options = slot.cfg.ports.size() == 2 ? "/com=1,2" : "/com=1";
    options += " /platform=" + Quoted(slot.cfg.platform);
    std::string readFile;
    if (kind == JobKind::ReadCompare) {
        std::error_code ec;
        fs::create_directories(fs::path(config_.logDir) / slot.cfg.name, ec);
        readFile = (fs::path(config_.logDir) / slot.cfg.name / ("read-" + std::to_string(slot.pid.load()) + ".s19")).string();
        options += " /mode=read /savefile=" + Quoted(readFile);
        std::size_t ranges = 0;
        for (const auto& [base, bytes] : image.regions) {
            char range[48];
            std::snprintf(range, sizeof range, " /read=0x%x-0x%x", base,
                          base + static_cast<uint32_t>(bytes.size()) - 1);
            options += range;
            if (++ranges == FLASH_MAX_RANGES) break;
        }
    } else {
        options += kind == JobKind::Flash ? " /mode=flash" : " /mode=verify";
        options += " /file=" + Quoted(slot.cfg.image);
    }
    if (!slot.cfg.options.empty()) options += " " + slot.cfg.options;

    Json run;
    run["cmd"] = "run";
    run["job"] = job;
    run["ports"] = slot.cfg.ports;
    run["options"] = options;
    if (!config_.configDir.empty()) run["config_dir"] = config_.configDir;

    std::ofstream log;
    std::vector<std::string> early;  // lines before the phone (and so the log's name) is known
    auto logLine = [&](const std::string& line) {
        char stamp[24];
        std::snprintf(stamp, sizeof stamp, "%9.3f ", Seconds(Clock::now() - start));
        if (log.is_open()) {
            log << stamp << line << '\n';
            log.flush();
        } else if (early.size() < kMaxEarlyLines) {
            early.push_back(stamp + line);
        }
    };
    auto openLog = [&] {
        std::string phone;
        {
            std::lock_guard lock(slot.mutex);
            phone = slot.phone;
        }
        const fs::path dir = fs::path(config_.logDir) / slot.cfg.name / phone;
        std::error_code ec;
        fs::create_directories(dir, ec);
        o.logPath = (dir / (std::string(JobName(kind)) + "-" + Compact(o.startedAt) + ".log")).string();
        log.open(o.logPath, std::ios::app);
        log << "# station " << config_.name << ", slot " << slot.cfg.name << ", phone " << phone << ", job "
            << JobName(kind) << ", recipe " << config_.recipeName << ", started " << o.startedAt << '\n';
        log << "# options: " << options << '\n';
        for (const auto& line : early) log << line << '\n';
        early.clear();
        log.flush();
    };
    if (!firstJob) openLog();

    {
        std::lock_guard lock(slot.mutex);
        slot.job = JobName(kind);
        slot.phase.clear();
        slot.percent = 0;
        slot.done = slot.total = 0;
        slot.throughput = 0;
        slot.eta = -1;
        // Pass or fail stays on show until the next phone answers.
        if (firstJob && slot.state != "pass" && slot.state != "fail" && slot.state != "aborted") {
            slot.state = "waiting";
            slot.detail = "waiting for a phone";
        } else if (firstJob) {
            slot.detail += "; waiting for the next phone";
        }
    }
    PublishSlot(slot);

    const std::string line = run.dump() + "\n";
    bool sent = false;
    {
        std::lock_guard lock(slot.writeMutex);
        sent = WriteAll(slot.toWorker, line);
    }

    bool powerOnSeen = false;
    bool finished = false;
    bool abortSent = false;
    bool timedOut = false;
    bool portGone = false;
    Clock::time_point presentAt = start;
    std::string goneText;
    Clock::time_point abortAt{};
    uint64_t mainTotal = 0;
    double phaseStartedAt = 0;
    std::string phaseText;
    std::string lastFailureLine;

    auto sendAbort = [&](bool timeout) {
        Json abort{{"cmd", "abort"}, {"job", job}};
        std::lock_guard lock(slot.writeMutex);
        WriteAll(slot.toWorker, abort.dump() + "\n");
        abortSent = true;
        abortAt = Clock::now();
        timedOut = timeout;
    };

    auto handle = [&](const Json& e) {
        const std::string type = e.value("type", "");
        const double now = Seconds(Clock::now() - start);
        if (type == "result") {
            o.code = e.value("code", uint32_t{ERR_UNKNOWN});
            o.name = e.value("name", "");
            finished = true;
            logLine("result: " + o.name + " (" + std::to_string(o.code) + ")");
        } else if (type == "progress_begin") {
            const std::string text = e.value("text", "");
            const uint64_t total = e.value("total", uint64_t{0});
            if (text.rfind("Power on mobile", 0) == 0) {
                powerOnSeen = true;
            } else if (powerOnSeen && !o.phonePresent) {
                o.phonePresent = true;
                presentAt = Clock::now();
                if (firstJob) {
                    std::lock_guard lock(slot.mutex);
                    if (!slot.pendingSerial.empty()) {
                        slot.phone = slot.pendingSerial;
                        slot.pendingSerial.clear();
                    } else {
                        slot.phone = config_.name + "-" + slot.cfg.name + "-" + std::to_string(slot.counter + 1);
                    }
                    slot.state = "running";
                    slot.detail.clear();
                }
                if (firstJob) {
                    openLog();
                    PublishSlot(slot);
                }
            }
            // The job's main phase: the first after the loaders (flash, verify
            // or read), not the S-record file's.
            if (o.phonePresent && phaseText.empty() && text.find("loader") == std::string::npos &&
                text.find("S-Record") == std::string::npos) {
                mainTotal = total;
                phaseText = text;
            }
            phaseStartedAt = now;
            logLine("progress: " + text + " (" + std::to_string(total) + ")");
            std::lock_guard lock(slot.mutex);
            slot.phase = text;
            slot.total = total;
            slot.done = 0;
            slot.percent = 0;
            slot.phaseStarted = now;
            slot.throughput = 0;
            slot.eta = -1;
        } else if (type == "progress_update") {
            std::lock_guard lock(slot.mutex);
            slot.done = e.value("done", uint64_t{0});
            // A phase cut short by a failure still counts what it carried.
            if (o.phonePresent && slot.phase == phaseText && mainTotal > 0 && now > phaseStartedAt) {
                o.bytes = slot.done;
                o.throughput = static_cast<double>(slot.done) / (now - phaseStartedAt);
            }
            slot.percent = e.value("percent", 0u);
            const double elapsed = now - slot.phaseStarted;
            slot.throughput = elapsed > 0.05 ? static_cast<double>(slot.done) / elapsed : 0;
            slot.eta = slot.throughput > 0 ? static_cast<double>(slot.total - std::min(slot.total, slot.done)) /
                                                 slot.throughput
                                           : -1;
        } else if (type == "progress_end") {
            const uint64_t done = e.value("done", uint64_t{0});
            std::string text;
            {
                std::lock_guard lock(slot.mutex);
                text = slot.phase;
            }
            if (o.phonePresent && text == phaseText && mainTotal > 0) {
                o.bytes = done;
                const double elapsed = now - phaseStartedAt;
                o.throughput = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
            }
            char summary[64];
            std::snprintf(summary, sizeof summary, " done, %llu in %.3f s", static_cast<unsigned long long>(done),
                          now - phaseStartedAt);
            logLine("progress: " + text + summary);
        } else if (type == "message") {
            const int level = e.value("level", 0);
            const std::string text = e.value("text", "");
            logLine("[" + std::to_string(level) + "] " + text);
            // "AMD:0x42/0x00002201, Intel:0x42/0x00002201": the IDs of a chip as
            // the flash loader reported them (after "IDs returned by detection").
            if (text.rfind("IDs returned by detection", 0) == 0) o.chipIds.clear();
            if (text.size() == 42 && text.rfind("AMD:0x", 0) == 0 && text.compare(19, 8, ", Intel:") == 0) {
                const std::string amd = text.substr(4, 15);
                const std::string intel = text.substr(27, 15);
                o.chipIds += (o.chipIds.empty() ? "" : ",") + (amd == intel ? amd : amd + "|" + intel);
            }
            if (level >= 1) {
                if (text.rfind("Sorry, an error has occured", 0) != 0) o.lastError = text;
                else lastFailureLine = text;
            }
        } else if (type == "status") {
            logLine("status: " + e.value("text", ""));
        }
    };

    while (!finished) {
        if (!sent) {
            o.code = ERR_UNKNOWN;
            o.lastError = "the slot's worker process does not take jobs";
            break;
        }
        if (stopping_.load() && !abortSent) sendAbort(false);
        if (config_.jobTimeoutSeconds > 0 && o.phonePresent && !abortSent &&
            Seconds(Clock::now() - presentAt) > config_.jobTimeoutSeconds) {
            sendAbort(true);
            logLine("station: the job ran longer than its job_timeout, aborting it");
        }
        // A device that disappears (an adapter pulled) ends the job at once
        // rather than after the library's retries and time-outs.
        if (!abortSent && !portGone) {
            for (const auto& port : slot.cfg.ports) {
                if (!PortPresent(port)) {
                    portGone = true;
                    goneText = "the port " + port + " disappeared during the job (adapter pulled?); job aborted";
                    logLine("station: " + goneText);
                    sendAbort(false);
                    break;
                }
            }
        }
        if (abortSent && Seconds(Clock::now() - abortAt) > kAbortGraceSeconds) {
            ::kill(slot.pid, SIGKILL);
            o.code = ERR_ABORT;
            o.lastError = "the job did not end within 20 s of the abort: its worker process was ended";
            logLine("station: " + o.lastError);
            break;
        }
        pollfd p{slot.fromWorker, POLLIN, 0};
        const int ready = ::poll(&p, 1, 200);
        if (ready <= 0) continue;
        char buffer[65536];
        const ssize_t n = ::read(slot.fromWorker, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int status = 0;
            ::waitpid(slot.pid, &status, 0);
            slot.pid = -1;
            o.code = ERR_UNKNOWN;
            o.lastError = WIFSIGNALED(status) ? "the slot's worker process ended by signal " +
                                                    std::to_string(WTERMSIG(status))
                                              : "the slot's worker process ended unexpectedly (status " +
                                                    std::to_string(WEXITSTATUS(status)) + ")";
            logLine("station: " + o.lastError);
            break;
        }
        slot.input.append(buffer, static_cast<std::size_t>(n));
        std::size_t begin = 0;
        for (std::size_t nl; (nl = slot.input.find('\n', begin)) != std::string::npos; begin = nl + 1) {
            const Json e = Json::parse(slot.input.begin() + static_cast<std::ptrdiff_t>(begin),
                                       slot.input.begin() + static_cast<std::ptrdiff_t>(nl), nullptr, false);
            if (!e.is_object()) continue;
            if (e.value("job", int64_t{-1}) != job) continue;  // a late line of an earlier job
            handle(e);
            // The same event for --json and the dashboard, with its slot.
            Json out;
            out["type"] = e.value("type", "");
            out["time"] = Now();
            out["slot"] = slot.cfg.name;
            for (auto it = e.begin(); it != e.end(); ++it) {
                if (it.key() != "type" && it.key() != "job") out[it.key()] = it.value();
            }
            out["job"] = JobName(kind);
            {
                std::lock_guard lock(slot.mutex);
                out["phone"] = slot.phone;
            }
            Publish(std::move(out));
            if (finished) {
                begin = nl + 1;
                break;
            }
        }
        slot.input.erase(0, begin);
        if (slot.input.size() > kMaxWorkerLine) slot.input.clear();
    }
    if (!sent || slot.pid < 0 || o.lastError.find("worker process was ended") != std::string::npos) {
        StopWorker(slot);  // a new one is started for the next job
    }

    if (o.code == SUCCESS && kind == JobKind::ReadCompare) {
        SrecImage back;
        std::string error;
        uint32_t at = 0;
        if (!ReadSrecImage(readFile, back, error)) {
            o.code = ERR_FILEIO;
            o.lastError = "read-back compare: " + error;
        } else if (FirstDifference(image, back, at, error)) {
            o.code = ERR_VERIFY_DIFFERENCE;
            o.lastError = "read-back compare: " + error;
        } else {
            logLine("station: read-back compare: every byte of the image read back unchanged");
        }
        if (o.code == SUCCESS) {
            std::error_code ec;
            fs::remove(readFile, ec);
        } else {
            logLine("station: " + o.lastError + " (the read-back is kept in " + readFile + ")");
        }
    }
    if (timedOut && o.code == ERR_ABORT) o.lastError = "aborted: the job ran longer than the station's job_timeout";
    if (!timedOut && !portGone && o.code == ERR_ABORT && stopping_.load()) {
        o.lastError = "aborted: the station was stopped";
    }
    if (portGone && o.code != SUCCESS) {
        o.code = ERR_COM;
        o.lastError = goneText;
    }
    if (o.code != SUCCESS && o.lastError.empty()) o.lastError = lastFailureLine;
    char name[FLASH_ERROR_TEXT_SIZE] = {};
    FlashGetErrorString(o.code, name);
    o.name = name;
    o.endedAt = UtcNow();
    o.duration = Seconds(Clock::now() - start);
    if (o.phonePresent && !log.is_open()) openLog();
    if (!o.phonePresent && firstJob && o.code != SUCCESS && o.code != ERR_ABORT && !portGone) {
        // The job failed before any phone could answer (an image, loader or
        // platform the library refuses): no phone's result, but the reason
        // is shown; the slot tries again.
        {
            std::lock_guard lock(slot.mutex);
            slot.state = "error";
            slot.detail = "the job fails before any phone answers: " + o.name +
                          (o.lastError.empty() ? std::string() : ": " + o.lastError);
        }
        Json e;
        e["type"] = "error";
        e["time"] = Now();
        e["slot"] = slot.cfg.name;
        e["text"] = "the " + std::string(JobName(kind)) + " job fails before any phone answers: " + o.name +
                    (o.lastError.empty() ? std::string() : ": " + o.lastError) + "; trying again in 5 s";
        Publish(std::move(e));
        PublishSlot(slot);
    }
    if (log.is_open()) log << "# ended " << o.endedAt << ": " << o.name << '\n';
    return o;
}

bool Station::RunPhone(SlotState& slot, bool& phoneSeen) {
    phoneSeen = false;
    bool passed = true;
    bool aborted = false;
    std::optional<int64_t> number;
    // The library reads the image for every job: an image replaced while the
    // station runs is read again, so that its rows name what was flashed.
    if (ImageFileChanged(slot.cfg.image, images_[slot.index])) {
        SrecImage image;
        std::string error;
        if (!ReadSrecImage(slot.cfg.image, image, error) || image.regions.empty()) {
            {
                std::lock_guard lock(slot.mutex);
                slot.state = "error";
                slot.detail = "the image changed and cannot be read: " + error;
            }
            PublishSlot(slot);
            std::unique_lock lock(stopMutex_);
            stopWake_.wait_for(lock, std::chrono::seconds(2), [&] { return stopping_.load(); });
            return false;
        }
        images_[slot.index] = std::move(image);
    }
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", images_[slot.index].fileCrc32);
    for (std::size_t i = 0; i < config_.jobs.size(); ++i) {
        const JobKind kind = config_.jobs[i];
        if (slot.pid < 0 && !StartWorker(slot)) {
            std::lock_guard lock(slot.mutex);
            slot.state = "error";
            slot.detail = "cannot start the slot's worker process";
            return false;
        }
        if (slot.jobSeq > 0 && config_.pauseBetweenJobsSeconds > 0) {
            // The previous job's end byte leaves the port before it is opened
            // again: a device that does not drain on close (a pseudo-terminal,
            // some USB adapters) may still hold it, and a new job's settings
            // would garble it.
            std::unique_lock lock(stopMutex_);
            stopWake_.wait_for(lock, std::chrono::duration<double>(config_.pauseBetweenJobsSeconds),
                               [&] { return stopping_.load(); });
            if (stopping_.load() && i == 0) return false;
        }
        JobOutcome o = RunJob(slot, kind, i == 0);
        if (i == 0 && !o.phonePresent) return o.code == SUCCESS;  // no phone answered: nothing to record
        ResultRow row;
        row.station = config_.name;
        row.slot = slot.cfg.name;
        {
            std::lock_guard lock(slot.mutex);
            row.phone = slot.phone;
        }
        if (i == 0 && row.phone == config_.name + "-" + slot.cfg.name + "-" + std::to_string(slot.counter + 1)) {
            number = ++slot.counter;
        }
        phoneSeen = true;
        row.phoneNumber = number;
        row.chipIds = o.chipIds;
        row.recipe = config_.recipeName;
        row.imageCrc32 = crc;
        row.job = JobName(kind);
        row.startedAt = o.startedAt;
        row.endedAt = o.endedAt;
        row.durationSeconds = o.duration;
        row.bytes = static_cast<int64_t>(o.bytes);
        row.throughput = o.throughput;
        row.resultCode = o.code;
        row.resultName = o.name;
        row.lastError = o.lastError;
        row.logPath = o.logPath;
        std::string error;
        bool stored;
        {
            std::lock_guard lock(storeMutex_);
            stored = store_->Insert(row, error);
        }
        if (!stored) {
            // Nothing is lost: the row goes to a file beside the logs, and the
            // slot takes no further phone whose result it could not record.
            storeFailed_.store(true);
            const std::string spool = (fs::path(config_.logDir) / "unrecorded-rows.jsonl").string();
            {
                std::lock_guard lock(storeMutex_);
                std::ofstream out(spool, std::ios::app);
                out << RowToJson(row).dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
            }
            Json e;
            e["type"] = "error";
            e["time"] = Now();
            e["slot"] = slot.cfg.name;
            e["text"] = "cannot record the result of phone " + row.phone + ": " + error + "; the row is kept in " +
                        spool + " and the slot stops";
            Publish(std::move(e));
            std::lock_guard lock(slot.mutex);
            slot.storeBroken = true;
        } else {
            Json e = RowToJson(row);
            Json out;
            out["type"] = "row";
            out["time"] = Now();
            out["slot"] = slot.cfg.name;
            for (auto it = e.begin(); it != e.end(); ++it) {
                if (it.key() != "slot") out[it.key()] = it.value();
            }
            Publish(std::move(out));
        }
        if (o.code != SUCCESS) {
            passed = false;
            aborted = o.code == ERR_ABORT;
            std::lock_guard lock(slot.mutex);
            slot.lastResult = std::string(JobName(kind)) + ": " + o.name;
            break;
        }
    }
    {
        std::lock_guard lock(slot.mutex);
        slot.phonesDone++;
        if (passed) {
            slot.passes++;
            slot.lastResult = "pass";
        } else {
            slot.fails++;
        }
        slot.state = passed ? "pass" : aborted ? "aborted" : "fail";
        slot.lastPhone = slot.phone;
        slot.detail = passed ? "phone " + slot.phone + " passed" : "phone " + slot.phone + " failed: " + slot.lastResult;
        slot.phase.clear();
        slot.phone.clear();
    }
    PublishSlot(slot);
    return passed;
}

void Station::SlotLoop(SlotState& slot) {
    while (!stopping_.load()) {
        {
            std::lock_guard lock(slot.mutex);
            if (config_.phonesPerSlot > 0 && slot.phonesDone >= config_.phonesPerSlot) break;
            if (slot.storeBroken) break;
        }
        // A port that is not there (an adapter pulled) is waited for.
        std::string missing;
        for (const auto& port : slot.cfg.ports) {
            if (!PortPresent(port)) missing = port;
        }
        if (!missing.empty()) {
            bool changed;
            {
                std::lock_guard lock(slot.mutex);
                changed = slot.state != "port missing";
                slot.state = "port missing";
                slot.detail = "waiting for " + missing + " to come back";
            }
            if (changed) PublishSlot(slot);
            std::unique_lock lock(stopMutex_);
            stopWake_.wait_for(lock, kPortPoll, [&] { return stopping_.load(); });
            continue;
        }
        bool phoneSeen = false;
        RunPhone(slot, phoneSeen);
        if (!phoneSeen && !stopping_.load()) {
            // The job ended before any phone answered (the port failed while
            // waiting, or the library refused the job): a pause, then again.
            bool refused;
            {
                std::lock_guard lock(slot.mutex);
                refused = slot.state == "error";
            }
            std::unique_lock lock(stopMutex_);
            stopWake_.wait_for(lock, std::chrono::seconds(refused ? 5 : 1), [&] { return stopping_.load(); });
        }
    }
    StopWorker(slot);
    {
        std::lock_guard lock(slot.mutex);
        slot.state = slot.storeBroken ? "error" : stopping_.load() ? "stopped" : "done";
        slot.phase.clear();
        slot.detail = std::to_string(slot.passes) + " passed, " + std::to_string(slot.fails) + " failed";
        if (slot.storeBroken) slot.detail = "stopped: a result could not be recorded; " + slot.detail;
    }
    PublishSlot(slot);
}

int Station::Run() {
    for (auto& slot : slots_) PublishSlot(*slot);
    for (auto& slot : slots_) {
        SlotState* s = slot.get();
        slot->thread = std::thread([this, s] { SlotLoop(*s); });
    }
    for (auto& slot : slots_) slot->thread.join();
    Json end;
    end["type"] = "station_end";
    end["time"] = Now();
    uint64_t passes = 0, fails = 0;
    for (auto& slot : slots_) {
        passes += slot->passes;
        fails += slot->fails;
    }
    end["passes"] = passes;
    end["fails"] = fails;
    end["stopped"] = stopping_.load();
    Publish(std::move(end));
    return storeFailed_.load() ? 1 : 0;
}

}  // namespace flashwire::station
