// One job through the library: the handle bound to this program's callbacks,
// which forward to a Reporter, and the abortPoll that turns Ctrl-C and
// --timeout into an abort request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "flashwire/flash_api.h"
#include "interrupts.h"
#include "line_notes.h"
#include "reporter.h"

namespace flashwire::cli {

class JobSession {
public:
    JobSession(Reporter& reporter, const InterruptWatch& interrupts, std::optional<double> timeoutSeconds,
               std::optional<double> connectTimeoutSeconds);
    ~JobSession();  // FlashFinish
    JobSession(const JobSession&) = delete;
    JobSession& operator=(const JobSession&) = delete;

    // FlashInit and the callbacks; the handle's defaults go to options.
    uint32_t Init(FlashOptions& options);
    uint32_t SetDataDirectory(const std::string& directory);
    // FlashSetTraceFile: the job's serial traffic goes to path.
    uint32_t SetTraceFile(const std::string& path);
    // FlashParseOptionString; the accepted options are echoed as messages.
    uint32_t ParseOptions(const std::string& optionString, FlashOptions& options);
    // What the notes on the job's lines need, and where the job waits for
    // the phone ("COM1 (/dev/ttyUSB0)"); before Run.
    void Prepare(const JobFacts& facts, std::string waitPort);
    // FlashLoad: runs the job; the --timeout clock starts here.
    uint32_t Run(FlashOptions& options);

    // Why the job was asked to abort (None if it was not).
    AbortReason Aborted() const { return aborted_.load(); }

private:
    // The handle as the library sees it, with the way back to the session:
    // the callbacks get the address of `handle`, which is the address of the
    // whole record.
    struct HostHandle {
        FlashHandle handle;
        JobSession* session;
    };
    static JobSession& From(FlashHandle* handle);

    static int32_t OnProgressBegin(FlashHandle* handle, const char* text, uint32_t total);
    static int32_t OnProgressUpdate(FlashHandle* handle, uint32_t done, uint32_t percent);
    static int32_t OnProgressEnd(FlashHandle* handle);
    static int32_t OnStatus(FlashHandle* handle, const char* text);
    static int32_t OnMessage(FlashHandle* handle, int32_t level, const char* text);
    static int32_t OnAbortPoll(FlashHandle* handle);
    int32_t AbortPoll();
    void EndWaiting();

    Reporter& reporter_;
    const InterruptWatch& interrupts_;
    std::optional<std::chrono::duration<double>> timeout_;
    std::optional<std::chrono::duration<double>> connectTimeout_;
    LineNotes notes_{JobFacts{}};
    std::string waitText_;
    std::string waitPort_;
    // Since when the job waits for the phone (the callbacks and abortPoll
    // run on one library thread, one at a time).
    std::optional<std::chrono::steady_clock::time_point> waitingSince_;
    std::chrono::steady_clock::time_point jobStart_;
    std::atomic<AbortReason> aborted_{AbortReason::None};
    HostHandle host_{};
    bool bound_ = false;
};

}  // namespace flashwire::cli
