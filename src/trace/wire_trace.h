// The wire trace: every byte the job writes and reads on its ports, with a
// monotonic time stamp, the logical port and the direction, plus the ports'
// opening and closing, rate changes, read time-out settings and reads that
// ended by their time-out, as lines of text (docs/wire-trace.md).
//
// Lines are collected in a bounded buffer and written to the trace file when
// it is full, when a read ended by its time-out (the line was idle anyway),
// when the last traced port closes and when the trace ends; the job's
// exchanges never wait for more than one buffer's write. Each write starts
// its own line (16 bytes to a line); reads on one port that follow each other
// within kTraceJoinUs share a line.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "platform/platform.h"

namespace flashwire {

// The size of the buffer of trace lines.
inline constexpr std::size_t kTraceBufferBytes = 64 * 1024;
// Bytes per data line.
inline constexpr std::size_t kTraceBytesPerLine = 16;
// Reads on one port that come within this many microseconds of the first
// byte of a read line join that line.
inline constexpr uint64_t kTraceJoinUs = 1000;
// The first line of every trace file.
inline constexpr char kTraceHeader[] = "# flashwire wire trace 1";

enum class TraceDirection : uint8_t { Write, Read };

class WireTrace {
public:
    // Starts the trace in file; times count from now on clock. path names
    // the file in messages.
    WireTrace(std::unique_ptr<platform::OutputFile> file, platform::Clock& clock, std::string path,
              std::size_t bufferBytes = kTraceBufferBytes);
    // Writes out what is buffered.
    ~WireTrace();
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;

    void Opened(uint32_t port, const char* name, const std::string& device);
    void OpenFailed(uint32_t port, const char* name, uint32_t systemError);
    // The last traced port closed: the buffer is written out.
    void Closed(uint32_t port);
    void Settings(uint32_t port, const platform::LineSettings& settings, bool accepted);
    void Timeouts(uint32_t port, const platform::CommTimeouts& timeouts);
    void Data(uint32_t port, TraceDirection direction, std::span<const uint8_t> bytes);
    // A read that asked for wanted bytes got only got before its time-out.
    void TimedOut(uint32_t port, uint32_t wanted, uint32_t got, uint32_t timeoutMs);
    // A read or write the system refused (what: "read" or "write").
    void Failed(uint32_t port, const char* what, uint32_t done, uint32_t wanted, uint32_t systemError);

    // Writes out what is buffered; false once the file refused a write
    // (tracing then stops: later lines are dropped).
    bool Flush();
    bool failed() const;
    // The file's system error of the failed write (0 if none).
    uint32_t error() const;
    const std::string& path() const { return path_; }
    // True the first time it is asked after the trace failed (so that the
    // failure is reported once).
    bool TakeFailureReport();

private:
    void Line(uint32_t port, uint64_t us, const char* text);
    void EndPending();
    void Append(const char* text, std::size_t length);
    void FlushLocked();
    uint64_t Now();

    mutable std::mutex mutex_;
    std::unique_ptr<platform::OutputFile> file_;
    platform::Clock& clock_;
    std::string path_;
    uint64_t startUs_;
    std::vector<char> buffer_;
    std::size_t capacity_;
    uint32_t openPorts_ = 0;
    bool failed_ = false;
    bool failureReported_ = false;
    uint32_t error_ = 0;

    // The data line being collected.
    bool pending_ = false;
    uint32_t pendingPort_ = 0;
    TraceDirection pendingDirection_ = TraceDirection::Write;
    uint64_t pendingUs_ = 0;
    uint8_t pendingBytes_[kTraceBytesPerLine]{};
    std::size_t pendingCount_ = 0;
};

}  // namespace flashwire
