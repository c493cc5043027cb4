// --json: one JSON object per line on standard output for every message,
// status, progress begin/update/end, abort, error and the final result
// (docs/command-line.md lists the keys). Nothing else goes there.
#pragma once

#include <chrono>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "reporter.h"

namespace flashwire::cli {

// Not thread-safe by itself (wrap it in a SynchronizedReporter).
class JsonOutput final : public Reporter {
public:
    explicit JsonOutput(std::FILE* out);

    void Message(int level, std::string_view text) override;
    void Status(std::string_view text) override;
    void ProgressBegin(std::string_view text, uint32_t total) override;
    void ProgressUpdate(uint32_t done, uint32_t percent) override;
    void ProgressEnd() override;
    void Tick() override {}
    void Abort(AbortReason reason, std::string_view text) override;
    void Error(std::string_view text) override;
    void Note(int level, std::string_view text) override;
    void Info(std::string_view text) override;
    void Waiting(std::string_view text, double seconds) override;
    void WaitingEnded() override {}
    void Result(uint32_t code, std::string_view name, int exitStatus) override;

private:
    // An object with "type" and "time" (seconds since the program started).
    nlohmann::ordered_json Record(const char* type) const;
    // Writes the object as one line and flushes it; bytes that are not
    // UTF-8 become U+FFFD.
    void Emit(const nlohmann::ordered_json& record);

    std::FILE* out_;
    std::chrono::steady_clock::time_point started_;
    uint32_t total_ = 0;  // of the current phase
    uint32_t done_ = 0;
};

}  // namespace flashwire::cli
