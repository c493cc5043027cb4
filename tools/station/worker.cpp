#include "worker.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "flashwire/flash_api.h"

namespace flashwire::station {
namespace {

using json = nlohmann::ordered_json;

struct Worker {
    FlashHandle handle{};
    std::mutex outMutex;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<json> runs;
    bool inputClosed = false;
    std::atomic<int64_t> currentJob{-1};
    std::atomic<int64_t> abortJob{-1};
    std::atomic<bool> abortAll{false};
    uint32_t total = 0;
    uint32_t done = 0;

    void Emit(json record) {
        record["job"] = currentJob.load();
        const std::string line = record.dump(-1, ' ', false, json::error_handler_t::replace);
        std::lock_guard lock(outMutex);
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
};

// One worker per process.
Worker* g_worker = nullptr;
Worker& From(FlashHandle*) { return *g_worker; }
const char* Text(const char* text) { return text ? text : ""; }

int32_t OnProgressBegin(FlashHandle* h, const char* text, uint32_t total) {
    Worker& w = From(h);
    w.total = total;
    w.done = 0;
    w.Emit({{"type", "progress_begin"}, {"text", Text(text)}, {"total", total}});
    return 0;
}
int32_t OnProgressUpdate(FlashHandle* h, uint32_t done, uint32_t percent) {
    Worker& w = From(h);
    w.done = done;
    w.Emit({{"type", "progress_update"}, {"done", done}, {"total", w.total}, {"percent", percent}});
    return 0;
}
int32_t OnProgressEnd(FlashHandle* h) {
    Worker& w = From(h);
    w.Emit({{"type", "progress_end"}, {"done", w.done}, {"total", w.total}});
    return 0;
}
int32_t OnStatus(FlashHandle* h, const char* text) {
    From(h).Emit({{"type", "status"}, {"text", Text(text)}});
    return 0;
}
int32_t OnMessage(FlashHandle* h, int32_t level, const char* text) {
    From(h).Emit({{"type", "message"}, {"level", level}, {"text", Text(text)}});
    return 0;
}
int32_t OnAbortPoll(FlashHandle* h) {
    Worker& w = From(h);
    return w.abortAll.load() || (w.abortJob.load() >= 0 && w.abortJob.load() == w.currentJob.load()) ? 1 : 0;
}

void ReadCommands(Worker& w) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.size() > 65536) continue;
        json command = json::parse(line, nullptr, false);
        if (!command.is_object()) continue;
        const std::string cmd = command.value("cmd", "");
        if (cmd == "abort") {
            w.abortJob.store(command.value("job", int64_t{-1}));
        } else if (cmd == "run") {
            std::lock_guard lock(w.mutex);
            w.runs.push_back(std::move(command));
            w.wake.notify_all();
        }
    }
    // The station is gone or done with this slot: nothing more will come.
    w.abortAll.store(true);
    std::lock_guard lock(w.mutex);
    w.inputClosed = true;
    w.wake.notify_all();
}

uint32_t RunOne(Worker& w, const json& run) {
    const auto ports = run.value("ports", std::vector<std::string>{});
    if (ports.empty() || ports.size() > 2) return ERR_BAD_PARAMS;
    for (uint32_t i = 0; i < ports.size(); ++i) {
        if (const uint32_t rc = FlashMapPort(i, ports[i].c_str()); rc != SUCCESS) return rc;
    }
    const std::string configDir = run.value("config_dir", "");
    if (!configDir.empty()) {
        if (const uint32_t rc = FlashSetDataDirectory(&w.handle, configDir.c_str()); rc != SUCCESS) return rc;
    }
    FlashOptions options{};
    int32_t count = 0;
    const std::string optionString = run.value("options", "");
    if (const uint32_t rc = FlashParseOptionString(&w.handle, optionString.c_str(), &count, &options);
        rc != SUCCESS) {
        return rc;
    }
    return FlashLoad(&w.handle, &options);
}

}  // namespace

int RunWorker() {
    // The station decides what a worker aborts and when it ends (a worker
    // ends when its input does, also when the station was killed): signals
    // meant for the station (Ctrl-C, a service manager's SIGTERM to the
    // group, a closed terminal) are not the worker's.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    auto worker = std::make_unique<Worker>();
    Worker& w = *worker;
    g_worker = &w;
    FlashOptions defaults{};
    w.handle.size = sizeof(FlashHandle);
    if (FlashInit(&w.handle, &defaults) != SUCCESS) {
        std::fprintf(stderr, "flashwire-station worker: the library refused the handle (ERR_WRONG_DLL)\n");
        return 1;
    }
    w.handle.progressBegin = OnProgressBegin;
    w.handle.progressUpdate = OnProgressUpdate;
    w.handle.progressEnd = OnProgressEnd;
    w.handle.status = OnStatus;
    w.handle.message = OnMessage;
    w.handle.abortPoll = OnAbortPoll;

    std::thread reader(ReadCommands, std::ref(w));
    reader.detach();  // blocked in a read of standard input until the station closes it
    for (;;) {
        json run;
        {
            std::unique_lock lock(w.mutex);
            w.wake.wait(lock, [&] { return w.inputClosed || !w.runs.empty(); });
            if (w.runs.empty()) break;
            run = std::move(w.runs.front());
            w.runs.pop_front();
        }
        w.currentJob.store(run.value("job", int64_t{0}));
        const uint32_t rc = RunOne(w, run);
        char name[FLASH_ERROR_TEXT_SIZE] = {};
        FlashGetErrorString(rc, name);
        w.Emit({{"type", "result"}, {"code", rc}, {"name", name}});
        if (w.abortAll.load()) break;
    }
    FlashFinish(&w.handle);
    std::fflush(stdout);
    // The reader thread may still sit in its read: leave without unwinding it.
    std::_Exit(0);
}

}  // namespace flashwire::station
