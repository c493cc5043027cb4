// A COM port on the comm API: the raw line settings, the time-outs, and reads
// and writes that are plain or overlapped as the port was opened.
//
// Reads follow the port's time-outs, with two rules that keep them correct on
// Windows and also working where the overlapped path is less complete (as
// under Wine): in non-blocking mode only what ClearCommError reports queued
// is read, so no read is ever left waiting for bytes that are not there; and
// an overlapped read whose total time-out ran out counts what it moved even
// when its completion reports ERROR_TIMEOUT instead of success.
#include "platform/win32/win32_serial_port.h"

#include <algorithm>
#include <cstring>

namespace flashwire::platform::win32 {
namespace {

// The only rates the port accepts.
constexpr uint32_t kAcceptedRates[] = {57600, 115200, 230400, 460800, 921600};

constexpr bool IsNonBlockingRead(const CommTimeouts& t) {
    return t.readInterval == 0xFFFFFFFFu && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
}

// How far an overlapped request got (its byte count), also after a failure.
DWORD MovedBytes(const OVERLAPPED& ov) { return static_cast<DWORD>(ov.InternalHigh); }

}  // namespace

Win32SerialPort::Win32SerialPort(HANDLE handle, bool overlapped) : handle_(handle), overlapped_(overlapped) {}

Win32SerialPort::~Win32SerialPort() {
    // A write still under way is cancelled and waited for: its buffer belongs
    // to the caller and must not be read after the port is gone.
    if (write_.active && write_.ioPending) FinishOverlappedWrite(true);
    if (readEvent_) CloseHandle(readEvent_);
    if (writeEvent_) CloseHandle(writeEvent_);
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool Win32SerialPort::Init() {
    if (overlapped_) {
        // One event per direction, so that a completion is never taken for the other's.
        readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!readEvent_ || !writeEvent_) {
            FailLast();
            return false;
        }
    }
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(handle_, &t)) {
        FailLast();
        return false;
    }
    timeouts_ = CommTimeouts{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                             t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    // From here on every write on the device has a limit.
    return ApplyTimeouts();
}

// ---- Line settings ------------------------------------------------------

bool Win32SerialPort::GetSettings(LineSettings& out) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) {
        FailLast();
        return false;
    }
    LineSettings s;
    s.baud = dcb.BaudRate;
    s.dataBits = dcb.ByteSize;
    s.parity = dcb.Parity == ODDPARITY ? Parity::Odd : dcb.Parity == EVENPARITY ? Parity::Even : Parity::None;
    s.stopBits = dcb.StopBits == TWOSTOPBITS ? StopBits::Two : StopBits::One;
    s.dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    s.rts = dcb.fRtsControl != RTS_CONTROL_DISABLE;
    s.ctsFlow = dcb.fOutxCtsFlow != 0;
    s.dsrFlow = dcb.fOutxDsrFlow != 0;
    s.xonXoff = dcb.fOutX != 0 || dcb.fInX != 0;
    out = s;
    return true;
}

bool Win32SerialPort::SetSettings(const LineSettings& settings) {
    if (std::find(std::begin(kAcceptedRates), std::end(kAcceptedRates), settings.baud) == std::end(kAcceptedRates) ||
        settings.dataBits < 5 || settings.dataBits > 8) {
        Fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    DCB before{};
    before.DCBlength = sizeof before;
    if (!GetCommState(handle_, &before)) {
        FailLast();
        return false;
    }
    // The whole configuration is written anew from an empty record.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.baud;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != Parity::None ? TRUE : FALSE;
    dcb.fOutxCtsFlow = settings.ctsFlow ? TRUE : FALSE;
    dcb.fOutxDsrFlow = settings.dsrFlow ? TRUE : FALSE;
    dcb.fDtrControl = settings.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = settings.xonXoff ? TRUE : FALSE;
    dcb.fInX = settings.xonXoff ? TRUE : FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = settings.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity == Parity::Odd ? ODDPARITY : settings.parity == Parity::Even ? EVENPARITY : NOPARITY;
    dcb.StopBits = settings.stopBits == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
    // The usual XON/XOFF characters: unused without XON/XOFF flow control,
    // and a driver may refuse a record in which both are the same.
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!SetCommState(handle_, &dcb)) {
        FailLast();
        return false;
    }
    // A device that cannot run at the rate may keep another one: such a rate
    // is refused and the previous configuration comes back.
    DCB now{};
    now.DCBlength = sizeof now;
    if (!GetCommState(handle_, &now)) {
        FailLast();
        return false;
    }
    if (now.BaudRate != settings.baud || now.ByteSize != settings.dataBits) {
        SetCommState(handle_, &before);
        Fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// ---- Time-outs ------------------------------------------------------------

bool Win32SerialPort::GetTimeouts(CommTimeouts& out) {
    out = timeouts_;
    return true;
}

bool Win32SerialPort::SetTimeouts(const CommTimeouts& timeouts) {
    const CommTimeouts previous = timeouts_;
    timeouts_ = timeouts;
    if (ApplyTimeouts()) return true;
    timeouts_ = previous;
    return false;
}

bool Win32SerialPort::NonBlocking() const { return IsNonBlockingRead(timeouts_); }

bool Win32SerialPort::ApplyTimeouts() {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts_.readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts_.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts_.readTotalConstant;
    const bool writeLimited = timeouts_.writeTotalMultiplier != 0 || timeouts_.writeTotalConstant != 0;
    t.WriteTotalTimeoutMultiplier = writeLimited ? timeouts_.writeTotalMultiplier : kWriteMsPerByte;
    t.WriteTotalTimeoutConstant = writeLimited ? timeouts_.writeTotalConstant : kWriteStallLimitMs;
    if (!SetCommTimeouts(handle_, &t)) {
        FailLast();
        return false;
    }
    return true;
}

DWORD Win32SerialPort::WriteLimitMs(std::size_t count) const {
    const bool writeLimited = timeouts_.writeTotalMultiplier != 0 || timeouts_.writeTotalConstant != 0;
    const uint64_t multiplier = writeLimited ? timeouts_.writeTotalMultiplier : kWriteMsPerByte;
    const uint64_t constant = writeLimited ? timeouts_.writeTotalConstant : kWriteStallLimitMs;
    // Capped below INFINITE: every wait stays bounded.
    const uint64_t ms = std::min<uint64_t>(multiplier * count + constant, 0x7FFFFFFFu);
    return static_cast<DWORD>(ms);
}

// ---- Reading --------------------------------------------------------------

bool Win32SerialPort::Read(std::span<uint8_t> buffer, uint32_t& received) {
    received = 0;
    if (buffer.empty()) return true;
    if (NonBlocking()) {
        // Only what has arrived: such a read never waits.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) {
            FailLast();
            return false;
        }
        const std::size_t queued = std::min<std::size_t>(buffer.size(), status.cbInQue);
        if (queued == 0) return true;
        buffer = buffer.first(queued);
    }
    return overlapped_ ? ReadOverlapped(buffer, received) : ReadPlain(buffer, received);
}

bool Win32SerialPort::ReadPlain(std::span<uint8_t> buffer, uint32_t& received) {
    DWORD got = 0;
    if (!ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        FailLast();
        return false;
    }
    received = got;
    return true;
}

bool Win32SerialPort::ReadOverlapped(std::span<uint8_t> buffer, uint32_t& received) {
    OVERLAPPED ov{};
    ov.hEvent = readEvent_;
    ResetEvent(readEvent_);
    if (!ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING) {
        FailLast();
        return false;
    }
    // Completed at once or pending: the completion tells the count. The
    // read's own time-outs end it.
    DWORD got = 0;
    if (!GetOverlappedResult(handle_, &ov, &got, TRUE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_TIMEOUT) {
            Fail(error);
            return false;
        }
        // The total time-out ran out: what came until then is the result.
        got = MovedBytes(ov);
    }
    received = std::min<uint32_t>(got, static_cast<uint32_t>(buffer.size()));
    return true;
}

// ---- Writing --------------------------------------------------------------

bool Win32SerialPort::WritePlain(std::span<const uint8_t> data, uint32_t& sent) {
    sent = 0;
    while (sent < data.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(data.size() - sent, kPlainWritePiece));
        DWORD n = 0;
        if (!WriteFile(handle_, data.data() + sent, piece, &n, nullptr)) {
            FailLast();
            return false;
        }
        sent += n;
        if (n < piece) {
            // The write time-out ran out.
            Fail(ERROR_TIMEOUT);
            return false;
        }
    }
    return true;
}

bool Win32SerialPort::Write(std::span<const uint8_t> data, uint32_t& sent) {
    sent = 0;
    if (!overlapped_) {
        if (write_.active) {
            Fail(ERROR_BUSY);
            return false;
        }
        return WritePlain(data, sent);
    }
    if (!BeginWrite(data)) return false;
    WriteStatus status = WriteStatus::Pending;
    while (status == WriteStatus::Pending) status = PollWrite(kInfinite, sent);
    return status == WriteStatus::Done;
}

bool Win32SerialPort::BeginWrite(std::span<const uint8_t> data) {
    if (write_.active) {
        Fail(ERROR_BUSY);
        return false;
    }
    write_ = PendingWrite{};
    write_.active = true;
    write_.data = data;
    write_.startTicks = GetTickCount();
    // A little beyond the device's own limit, which normally ends the write first.
    write_.limitMs = WriteLimitMs(data.size()) + 1000;
    if (!overlapped_) {
        // Plain I/O cannot run in the background: the write happens here.
        write_.ended = WritePlain(data, write_.sent) ? WriteStatus::Done : WriteStatus::Failed;
        return true;
    }
    if (data.empty()) {
        write_.ended = WriteStatus::Done;
        return true;
    }
    writeOv_ = OVERLAPPED{};
    writeOv_.hEvent = writeEvent_;
    ResetEvent(writeEvent_);
    if (!WriteFile(handle_, data.data(), static_cast<DWORD>(data.size()), nullptr, &writeOv_) &&
        GetLastError() != ERROR_IO_PENDING) {
        FailLast();
        write_ = PendingWrite{};
        return false;
    }
    write_.ioPending = true;
    return true;
}

void Win32SerialPort::FinishOverlappedWrite(bool cancel) {
    DWORD n = 0;
    if (cancel) {
        CancelIo(handle_);
        GetOverlappedResult(handle_, &writeOv_, &n, TRUE);
        write_.sent = static_cast<uint32_t>(MovedBytes(writeOv_));
        write_.ended = WriteStatus::Failed;
        Fail(ERROR_TIMEOUT);
    } else if (GetOverlappedResult(handle_, &writeOv_, &n, FALSE)) {
        write_.sent = static_cast<uint32_t>(n);
        // A write time-out completes the request with fewer bytes.
        write_.ended = n == write_.data.size() ? WriteStatus::Done : WriteStatus::Failed;
        if (write_.ended == WriteStatus::Failed) Fail(ERROR_TIMEOUT);
    } else {
        FailLast();
        write_.sent = static_cast<uint32_t>(MovedBytes(writeOv_));
        write_.ended = WriteStatus::Failed;
    }
    write_.sent = std::min<uint32_t>(write_.sent, static_cast<uint32_t>(write_.data.size()));
    write_.ioPending = false;
}

WriteStatus Win32SerialPort::PollWrite(uint32_t waitMs, uint32_t& sent) {
    if (!write_.active) {
        sent = 0;
        Fail(ERROR_INVALID_PARAMETER);
        return WriteStatus::Failed;
    }
    if (write_.ioPending) {
        const DWORD elapsed = GetTickCount() - write_.startTicks;
        const DWORD left = elapsed >= write_.limitMs ? 0 : write_.limitMs - elapsed;
        const DWORD wait = waitMs == kInfinite ? left : std::min<DWORD>(left, waitMs);
        if (WaitForSingleObject(writeEvent_, wait) == WAIT_OBJECT_0) {
            FinishOverlappedWrite(false);
        } else if (GetTickCount() - write_.startTicks >= write_.limitMs) {
            // The device did not end it in time: it is taken back.
            FinishOverlappedWrite(true);
        }
    }
    sent = write_.sent;
    if (write_.ended == WriteStatus::Pending) return WriteStatus::Pending;
    const WriteStatus status = write_.ended;
    write_ = PendingWrite{};
    return status;
}

// ---- Draining -------------------------------------------------------------

bool Win32SerialPort::Drain() {
    if (write_.active) {
        Fail(ERROR_BUSY);
        return false;
    }
    // The driver's output queue, watched until it is empty or stops shrinking
    // for too long (FlushFileBuffers would wait without a limit).
    DWORD last = 0;
    bool seen = false;
    DWORD lastProgress = GetTickCount();
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) {
            FailLast();
            return false;
        }
        if (status.cbOutQue == 0) return true;
        const DWORD now = GetTickCount();
        if (!seen || status.cbOutQue < last) {
            seen = true;
            last = status.cbOutQue;
            lastProgress = now;
        } else if (now - lastProgress >= kWriteStallLimitMs) {
            Fail(ERROR_TIMEOUT);
            return false;
        }
        ::Sleep(1);
    }
}

}  // namespace flashwire::platform::win32
