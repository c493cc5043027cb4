// A COM port of Windows: a device handle driven through the comm API, with
// overlapped reads and writes on the NT family and plain ones otherwise.
#pragma once

#include "platform/win32/win32_api.h"

#include <cstdint>
#include <span>
#include <string>

#include "platform/platform.h"

namespace flashwire::platform::win32 {

// With no write time-out set, a write is still bounded: by this limit plus
// kWriteMsPerByte for every byte (at 57600 baud a byte takes about 0.17 ms,
// so the allowance is several times what a working line needs). A write that
// runs past it means the device is gone or the line is stalled.
inline constexpr uint32_t kWriteStallLimitMs = 10000;
inline constexpr uint32_t kWriteMsPerByte = 1;
// Plain writes go out in pieces of at most this many bytes.
inline constexpr uint32_t kPlainWritePiece = 4096;

class Win32SerialPort final : public SerialPort {
public:
    // Takes ownership of an open COM port handle (opened with
    // FILE_FLAG_OVERLAPPED exactly when overlapped is set). Init must succeed
    // before the port is used.
    Win32SerialPort(HANDLE handle, bool overlapped);
    ~Win32SerialPort() override;
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    // Creates the completion events (overlapped) and reads the port's
    // time-outs; false (LastError set) when that fails.
    bool Init();

    bool GetSettings(LineSettings& out) override;
    bool SetSettings(const LineSettings& settings) override;
    bool GetTimeouts(CommTimeouts& out) override;
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override;
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override;
    bool BeginWrite(std::span<const uint8_t> data) override;
    WriteStatus PollWrite(uint32_t waitMs, uint32_t& sent) override;
    bool Drain() override;
    uint32_t LastError() const override { return lastError_; }

private:
    // The write begun with BeginWrite.
    struct PendingWrite {
        bool active = false;
        std::span<const uint8_t> data;
        bool ioPending = false;     // an overlapped WriteFile not yet completed
        DWORD startTicks = 0;
        DWORD limitMs = 0;          // the write's whole time limit
        uint32_t sent = 0;
        WriteStatus ended = WriteStatus::Pending;  // Done or Failed once it ended
    };

    bool NonBlocking() const;
    // Applies timeouts_ to the device, with the write limit filled in.
    bool ApplyTimeouts();
    DWORD WriteLimitMs(std::size_t count) const;
    bool ReadPlain(std::span<uint8_t> buffer, uint32_t& received);
    bool ReadOverlapped(std::span<uint8_t> buffer, uint32_t& received);
    bool WritePlain(std::span<const uint8_t> data, uint32_t& sent);
    // Ends the overlapped write in write_ (completed: its result; still
    // running: cancelled and waited for) and records how it ended.
    void FinishOverlappedWrite(bool cancel);
    void Fail(DWORD error) { lastError_ = static_cast<uint32_t>(error); }
    void FailLast() { Fail(GetLastError()); }

    HANDLE handle_;
    const bool overlapped_;
    HANDLE readEvent_ = nullptr;
    HANDLE writeEvent_ = nullptr;
    OVERLAPPED writeOv_{};
    CommTimeouts timeouts_{};
    uint32_t lastError_ = 0;
    PendingWrite write_;
};

// The device name the port number opens now: "\\.\COM<n+1>" or the mapped one.
std::string SerialDeviceName(uint32_t portNumber);

}  // namespace flashwire::platform::win32
