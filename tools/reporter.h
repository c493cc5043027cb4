// Where the program's output goes: the library's callbacks and the command
// line's own events, rendered for a person (progress_display.h) or as JSON
// lines (json_output.h).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

namespace flashwire::cli {

// Why the command line asked the library to abort a job.
enum class AbortReason { None, Interrupt, Timeout, ConnectTimeout };

class Reporter {
public:
    virtual ~Reporter() = default;

    // The library's callbacks.
    virtual void Message(int level, std::string_view text) = 0;
    virtual void Status(std::string_view text) = 0;
    virtual void ProgressBegin(std::string_view text, uint32_t total) = 0;
    virtual void ProgressUpdate(uint32_t done, uint32_t percent) = 0;
    virtual void ProgressEnd() = 0;

    // About every 750 ms while a job runs (from abortPoll): a chance to
    // refresh what depends on the time alone.
    virtual void Tick() = 0;
    // The command line asks the library to abort the job.
    virtual void Abort(AbortReason reason, std::string_view text) = 0;
    // A failure of the command line itself (before or around the job).
    virtual void Error(std::string_view text) = 0;
    // The command line's explanation of the library line just reported (the
    // device behind a port and the system's reason, why a file did not
    // open, ...), at that line's level.
    virtual void Note(int level, std::string_view text) = 0;
    // A line of the command line's own for the user (the option string with
    // -v, the result of --dry-run).
    virtual void Info(std::string_view text) = 0;
    // The job waits for the phone (what and where), for `seconds` so far;
    // called when the wait begins (0) and then about every 750 ms.
    virtual void Waiting(std::string_view text, double seconds) = 0;
    // The wait for the phone is over (the phone answered, or the job ended).
    virtual void WaitingEnded() = 0;
    // The outcome: the job's code, its name and the program's exit status.
    virtual void Result(uint32_t code, std::string_view name, int exitStatus) = 0;
};

// Serialises the calls of the library's thread and the main thread: every
// call is forwarded under one lock, so the wrapped reporter needs no locking
// of its own.
class SynchronizedReporter final : public Reporter {
public:
    explicit SynchronizedReporter(std::unique_ptr<Reporter> inner) : inner_(std::move(inner)) {}

    void Message(int level, std::string_view text) override {
        std::lock_guard lock(mutex_);
        inner_->Message(level, text);
    }
    void Status(std::string_view text) override {
        std::lock_guard lock(mutex_);
        inner_->Status(text);
    }
    void ProgressBegin(std::string_view text, uint32_t total) override {
        std::lock_guard lock(mutex_);
        inner_->ProgressBegin(text, total);
    }
    void ProgressUpdate(uint32_t done, uint32_t percent) override {
        std::lock_guard lock(mutex_);
        inner_->ProgressUpdate(done, percent);
    }
    void ProgressEnd() override {
        std::lock_guard lock(mutex_);
        inner_->ProgressEnd();
    }
    void Tick() override {
        std::lock_guard lock(mutex_);
        inner_->Tick();
    }
    void Abort(AbortReason reason, std::string_view text) override {
        std::lock_guard lock(mutex_);
        inner_->Abort(reason, text);
    }
    void Error(std::string_view text) override {
        std::lock_guard lock(mutex_);
        inner_->Error(text);
    }
    void Note(int level, std::string_view text) override {
        std::lock_guard lock(mutex_);
        inner_->Note(level, text);
    }
    void Info(std::string_view text) override {
        std::lock_guard lock(mutex_);
        inner_->Info(text);
    }
    void Waiting(std::string_view text, double seconds) override {
        std::lock_guard lock(mutex_);
        inner_->Waiting(text, seconds);
    }
    void WaitingEnded() override {
        std::lock_guard lock(mutex_);
        inner_->WaitingEnded();
    }
    void Result(uint32_t code, std::string_view name, int exitStatus) override {
        std::lock_guard lock(mutex_);
        inner_->Result(code, name, exitStatus);
    }

private:
    std::mutex mutex_;
    std::unique_ptr<Reporter> inner_;
};

}  // namespace flashwire::cli
