// The running station: one thread and one worker process per slot, each
// slot in its loop (wait for a phone, run the recipe, record every job,
// show pass or fail, wait for the next phone) until the station stops.
// Every event goes to the station's listeners (--json, the dashboard).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "result_store.h"
#include "srec_image.h"
#include "station_file.h"

namespace flashwire::station {

using Json = nlohmann::ordered_json;

// A listener of the station's events; called from many threads, one event at a time.
using EventListener = std::function<void(const Json&)>;

class Station {
public:
    Station(StationConfig config, std::unique_ptr<ResultStore> store);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Checks the images and the log folder; false with a message when the
    // station cannot start.
    bool Prepare(std::string& error);
    void AddListener(EventListener listener);
    // Runs every slot until Stop() or until each slot has had its phones;
    // returns 0, or 1 when results could not be recorded.
    int Run();
    // Asks every slot to stop: running jobs are aborted and recorded as such.
    void Stop();
    bool Stopping() const { return stopping_.load(); }
    // Ends every worker at once (a second interrupt).
    void KillWorkers();

    // The operator's identity for the next phone of a slot (a scanned
    // barcode). False when there is no such slot or the serial is unusable.
    bool SetSerial(const std::string& slot, const std::string& serial, std::string& error);

    Json SlotsJson() const;
    Json ResultsJson(std::size_t limit) const;
    std::string ResultsCsv() const;
    const StationConfig& Config() const { return config_; }

private:
    struct SlotState;
    struct JobOutcome;

    void SlotLoop(SlotState& slot);
    bool RunPhone(SlotState& slot, bool& phoneSeen);
    JobOutcome RunJob(SlotState& slot, JobKind kind, bool firstJob);
    bool StartWorker(SlotState& slot);
    void StopWorker(SlotState& slot);
    void Publish(Json event);
    void PublishSlot(SlotState& slot);
    Json SlotJson(const SlotState& slot) const;
    double Now() const;

    StationConfig config_;
    std::unique_ptr<ResultStore> store_;
    mutable std::mutex storeMutex_;
    std::vector<std::unique_ptr<SlotState>> slots_;
    std::vector<SrecImage> images_;  // per slot (slots may share a file)
    std::atomic<bool> stopping_{false};
    std::atomic<bool> storeFailed_{false};
    std::mutex listenersMutex_;
    std::vector<EventListener> listeners_;
    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

// Results as CSV (RFC 4180, a header line first) and as a JSON array.
std::string RowsToCsv(const std::vector<ResultRow>& rows);
Json RowToJson(const ResultRow& row);

// "2026-12-08T11:22:33.456Z"
std::string UtcNow();

}  // namespace flashwire::station
