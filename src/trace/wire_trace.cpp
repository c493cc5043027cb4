#include "trace/wire_trace.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace flashwire {
namespace {

// The longest line this file writes (a data line is about 90 characters; the
// others are short, a device path of up to 255 characters at most).
constexpr std::size_t kMaxLine = 512;

const char* const kHeaderLines =
    "# time: seconds since the trace began (monotonic); p0, p1: the job's first and second port\n"
    "# write: bytes the host wrote (to the phone); read: bytes the host read (from the phone)\n";

}  // namespace

WireTrace::WireTrace(std::unique_ptr<platform::OutputFile> file, platform::Clock& clock, std::string path,
                     std::size_t bufferBytes)
    : file_(std::move(file)), clock_(clock), path_(std::move(path)), capacity_(std::max(bufferBytes, 2 * kMaxLine)) {
    startUs_ = clock_.Microseconds();
    buffer_.reserve(capacity_);
    std::lock_guard lock(mutex_);
    Append(kTraceHeader, sizeof kTraceHeader - 1);
    Append("\n", 1);
    Append(kHeaderLines, std::strlen(kHeaderLines));
}

WireTrace::~WireTrace() { Flush(); }

uint64_t WireTrace::Now() {
    const uint64_t now = clock_.Microseconds();
    return now >= startUs_ ? now - startUs_ : 0;
}

void WireTrace::Append(const char* text, std::size_t length) {
    if (failed_) return;
    if (buffer_.size() + length > capacity_) FlushLocked();
    if (failed_) return;
    buffer_.insert(buffer_.end(), text, text + length);
}

void WireTrace::FlushLocked() {
    if (buffer_.empty() || failed_) {
        buffer_.clear();
        return;
    }
    if (file_ == nullptr ||
        !file_->Write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer_.data()), buffer_.size()))) {
        failed_ = true;
        error_ = file_ != nullptr ? file_->LastError() : 0;
    }
    buffer_.clear();
}

void WireTrace::Line(uint32_t port, uint64_t us, const char* text) {
    char line[kMaxLine];
    const int n = std::snprintf(line, sizeof line, "%" PRIu64 ".%06" PRIu64 " p%u %s\n", us / 1000000u,
                                us % 1000000u, port, text);
    if (n <= 0) return;
    std::size_t length = std::min(static_cast<std::size_t>(n), sizeof line - 1);
    line[length - 1] = '\n';
    Append(line, length);
}

void WireTrace::EndPending() {
    if (!pending_) return;
    pending_ = false;
    static constexpr char kHex[] = "0123456789abcdef";
    char text[kMaxLine];
    std::size_t at = 0;
    const char* word = pendingDirection_ == TraceDirection::Write ? "write" : "read ";
    std::memcpy(text, word, 5);
    at = 5;
    for (std::size_t i = 0; i < kTraceBytesPerLine; ++i) {
        text[at++] = ' ';
        if (i < pendingCount_) {
            text[at++] = kHex[pendingBytes_[i] >> 4];
            text[at++] = kHex[pendingBytes_[i] & 15];
        } else {
            text[at++] = ' ';
            text[at++] = ' ';
        }
    }
    text[at++] = ' ';
    text[at++] = ' ';
    text[at++] = '|';
    for (std::size_t i = 0; i < pendingCount_; ++i) {
        const uint8_t b = pendingBytes_[i];
        text[at++] = b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    }
    text[at++] = '|';
    text[at] = 0;
    Line(pendingPort_, pendingUs_, text);
    pendingCount_ = 0;
}

void WireTrace::Opened(uint32_t port, const char* name, const std::string& device) {
    std::lock_guard lock(mutex_);
    EndPending();
    ++openPorts_;
    char text[kMaxLine];
    std::snprintf(text, sizeof text, "open %s%s%.300s", name, device.empty() ? "" : " ", device.c_str());
    Line(port, Now(), text);
}

void WireTrace::OpenFailed(uint32_t port, const char* name, uint32_t systemError) {
    std::lock_guard lock(mutex_);
    EndPending();
    char text[kMaxLine];
    std::snprintf(text, sizeof text, "open-failed %s error %u (%.200s)", name, systemError,
                  platform::SystemErrorText(systemError).c_str());
    Line(port, Now(), text);
}

void WireTrace::Closed(uint32_t port) {
    std::lock_guard lock(mutex_);
    EndPending();
    Line(port, Now(), "close");
    if (openPorts_ > 0) --openPorts_;
    if (openPorts_ == 0) FlushLocked();
}

void WireTrace::Settings(uint32_t port, const platform::LineSettings& s, bool accepted) {
    std::lock_guard lock(mutex_);
    EndPending();
    const char parity = s.parity == platform::Parity::None ? 'N' : s.parity == platform::Parity::Odd ? 'O' : 'E';
    char text[kMaxLine];
    std::snprintf(text, sizeof text, "rate %u %u%c%c%s%s", s.baud, static_cast<unsigned>(s.dataBits), parity,
                  s.stopBits == platform::StopBits::One ? '1' : '2',
                  s.ctsFlow || s.dsrFlow || s.xonXoff ? " flow-control" : "", accepted ? "" : " refused");
    Line(port, Now(), text);
}

void WireTrace::Timeouts(uint32_t port, const platform::CommTimeouts& t) {
    std::lock_guard lock(mutex_);
    EndPending();
    char text[kMaxLine];
    const bool writesUnbounded = t.writeTotalMultiplier == 0 && t.writeTotalConstant == 0;
    if (t.readInterval == 0xFFFFFFFFu && t.readTotalMultiplier == 0 && t.readTotalConstant == 0 && writesUnbounded) {
        std::snprintf(text, sizeof text, "read-timeout non-blocking");
    } else if (t.readInterval == 0 && t.readTotalMultiplier == 0 && writesUnbounded) {
        if (t.readTotalConstant == 0)
            std::snprintf(text, sizeof text, "read-timeout none");
        else
            std::snprintf(text, sizeof text, "read-timeout %u ms", t.readTotalConstant);
    } else {
        std::snprintf(text, sizeof text, "timeouts %u %u %u %u %u", t.readInterval, t.readTotalMultiplier,
                      t.readTotalConstant, t.writeTotalMultiplier, t.writeTotalConstant);
    }
    Line(port, Now(), text);
}

void WireTrace::Data(uint32_t port, TraceDirection direction, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    std::lock_guard lock(mutex_);
    if (failed_) return;
    const uint64_t now = Now();
    // Reads join the line being collected when it is of this port and
    // direction, recent and not full; every write starts its own line.
    if (pending_ && (direction == TraceDirection::Write || pendingPort_ != port ||
                     pendingDirection_ != direction || now - pendingUs_ > kTraceJoinUs ||
                     pendingCount_ == kTraceBytesPerLine)) {
        EndPending();
    }
    for (const uint8_t b : bytes) {
        if (!pending_) {
            pending_ = true;
            pendingPort_ = port;
            pendingDirection_ = direction;
            pendingUs_ = now;
            pendingCount_ = 0;
        }
        pendingBytes_[pendingCount_++] = b;
        if (pendingCount_ == kTraceBytesPerLine) EndPending();
    }
}

void WireTrace::TimedOut(uint32_t port, uint32_t wanted, uint32_t got, uint32_t timeoutMs) {
    std::lock_guard lock(mutex_);
    EndPending();
    char text[kMaxLine];
    std::snprintf(text, sizeof text, "timeout %u of %u bytes in %u ms", got, wanted, timeoutMs);
    Line(port, Now(), text);
    // The line was idle for the time-out: a good moment for the file.
    FlushLocked();
}

void WireTrace::Failed(uint32_t port, const char* what, uint32_t done, uint32_t wanted, uint32_t systemError) {
    std::lock_guard lock(mutex_);
    EndPending();
    char text[kMaxLine];
    std::snprintf(text, sizeof text, "%s-failed %u of %u bytes, error %u (%.200s)", what, done, wanted, systemError,
                  platform::SystemErrorText(systemError).c_str());
    Line(port, Now(), text);
}

bool WireTrace::Flush() {
    std::lock_guard lock(mutex_);
    EndPending();
    FlushLocked();
    return !failed_;
}

bool WireTrace::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

uint32_t WireTrace::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

bool WireTrace::TakeFailureReport() {
    std::lock_guard lock(mutex_);
    if (!failed_ || failureReported_) return false;
    failureReported_ = true;
    return true;
}

}  // namespace flashwire
