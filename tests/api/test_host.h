// A host for the tests: records every callback, and a context bound with
// services the test controls (a virtual clock, a fixed executable path).
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "api/options.h"
#include "job/context.h"
#include "job/lifecycle.h"

namespace flashwire::test {

class FakeClock final : public platform::Clock {
public:
    explicit FakeClock(uint32_t start = 0) : now(start) {}
    uint32_t Ticks() override { return now.load(); }
    void Sleep(uint32_t ms) override { now += ms; }
    void Advance(uint32_t ms) { now += ms; }
    std::atomic<uint32_t> now;
};

class FakeSystem final : public platform::SystemInfo {
public:
    explicit FakeSystem(std::string p) : path(std::move(p)) {}
    std::string ExecutablePath() override { return path; }
    platform::OsVersion GetOsVersion() override { return {}; }
    char PathSeparator() const override { return '/'; }
    std::string path;
};

struct Line {
    int level;
    std::string text;
    bool operator==(const Line&) const = default;
};

struct RecordingHost;

// The handle with its host behind it, so a callback finds the host from the
// handle pointer (the handle is the first member of a standard-layout record).
struct HostSlot {
    FlashHandle handle;
    RecordingHost* owner;
};

struct RecordingHost {
    HostSlot slot{{}, this};
    FlashHandle& handle = slot.handle;
    FlashOptions options{};
    std::vector<Line> lines;
    std::vector<std::string> statuses;
    std::vector<std::string> progress;  // "begin <text> <total>", "update <done> <percent>", "end"

    RecordingHost() { handle.size = sizeof(FlashHandle); }
    ~RecordingHost() { FinishHandle(&handle); }
    RecordingHost(const RecordingHost&) = delete;
    RecordingHost& operator=(const RecordingHost&) = delete;

    static RecordingHost& Of(FlashHandle* h) { return *reinterpret_cast<HostSlot*>(h)->owner; }

    void InstallCallbacks() {
        handle.message = [](FlashHandle* h, int32_t level, const char* text) -> int32_t {
            Of(h).lines.push_back({level, text});
            return 0;
        };
        handle.status = [](FlashHandle* h, const char* text) -> int32_t {
            Of(h).statuses.emplace_back(text);
            return 0;
        };
        handle.progressBegin = [](FlashHandle* h, const char* text, uint32_t total) -> int32_t {
            Of(h).progress.push_back("begin " + std::string(text) + " " + std::to_string(total));
            return 0;
        };
        handle.progressUpdate = [](FlashHandle* h, uint32_t done, uint32_t percent) -> int32_t {
            Of(h).progress.push_back("update " + std::to_string(done) + " " + std::to_string(percent));
            return 0;
        };
        handle.progressEnd = [](FlashHandle* h) -> int32_t {
            Of(h).progress.emplace_back("end");
            return 0;
        };
    }

    // Binds the handle with the given services and installs the callbacks.
    FlashContext& Bind(const platform::Services& services) {
        InitHandle(&handle, &options, services);
        InstallCallbacks();
        return *ContextOf(&handle);
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& l : lines) out.push_back(l.text);
        return out;
    }
};

}  // namespace flashwire::test
