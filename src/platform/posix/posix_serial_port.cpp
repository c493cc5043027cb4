// A serial port over termios: the raw 8-bit line settings, the modem lines,
// and reads and writes bounded by the port's time-outs.
#include "platform/posix/posix_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>

namespace flashwire::platform::posix {
namespace {

struct RateCode {
    uint32_t baud;
    speed_t code;
};

// The only rates the port accepts.
constexpr RateCode kAcceptedRates[] = {
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// Rates a device may already be set to when it is opened (for GetSettings).
constexpr RateCode kKnownRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::optional<speed_t> AcceptedRateCode(uint32_t baud) {
    for (const RateCode& r : kAcceptedRates)
        if (r.baud == baud) return r.code;
    return std::nullopt;
}

uint32_t RateOfCode(speed_t code) {
    for (const RateCode& r : kKnownRates)
        if (r.code == code) return r.baud;
    return 0;
}

tcflag_t DataBitsFlag(uint8_t bits) {
    switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

uint8_t DataBitsOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

// The total limit of a read or write of count bytes: multiplier x count +
// constant ms. Capped far beyond any real wait (about 139 years), so that the
// deadline the clock computes from it cannot overflow.
std::chrono::milliseconds TotalLimit(uint32_t multiplier, std::size_t count, uint32_t constant) {
    constexpr uint64_t kLongestMs = uint64_t{1} << 42;
    const uint64_t perByte = count != 0 && multiplier > kLongestMs / count ? kLongestMs : uint64_t{multiplier} * count;
    return std::chrono::milliseconds(static_cast<int64_t>(std::min(perByte + constant, kLongestMs)));
}

constexpr bool IsNonBlockingRead(const CommTimeouts& t) {
    return t.readInterval == 0xFFFFFFFFu && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
}

}  // namespace

int MillisecondsUntil(SteadyClock::time_point t, SteadyClock::time_point now) {
    if (t <= now) return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - now).count();
    const long long ms = (us + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

PosixSerialPort::PosixSerialPort(int fd) : fd_(fd) {}

PosixSerialPort::~PosixSerialPort() {
    if (fd_ < 0) return;
    ioctl(fd_, TIOCNXCL);
    close(fd_);
}

// ---- Line settings ------------------------------------------------------

bool PosixSerialPort::GetSettings(LineSettings& out) {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) {
        Fail(errno);
        return false;
    }
    LineSettings s;
    s.baud = RateOfCode(cfgetospeed(&t));
    s.dataBits = DataBitsOf(t.c_cflag);
    s.parity = (t.c_cflag & PARENB) == 0 ? Parity::None : (t.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
    s.stopBits = (t.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
    s.ctsFlow = (t.c_cflag & CRTSCTS) != 0;
    s.dsrFlow = false;
    s.xonXoff = (t.c_iflag & (IXON | IXOFF)) != 0;
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) == 0) {
        s.dtr = (lines & TIOCM_DTR) != 0;
        s.rts = (lines & TIOCM_RTS) != 0;
    } else {
        s.dtr = dtr_;
        s.rts = rts_;
    }
    out = s;
    return true;
}

bool PosixSerialPort::SetSettings(const LineSettings& settings) {
    const std::optional<speed_t> rate = AcceptedRateCode(settings.baud);
    // termios has no DSR output flow control; refuse rather than pretend.
    if (!rate || settings.dataBits < 5 || settings.dataBits > 8 || settings.dsrFlow) {
        Fail(EINVAL);
        return false;
    }
    termios before{};
    if (tcgetattr(fd_, &before) != 0) {
        Fail(errno);
        return false;
    }
    // The whole configuration is rewritten: raw bytes, no echo, no signals,
    // no translation, the receiver on and the modem status lines ignored.
    termios t = before;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | DataBitsFlag(settings.dataBits);
    if (settings.parity != Parity::None) {
        t.c_cflag |= PARENB;
        if (settings.parity == Parity::Odd) t.c_cflag |= PARODD;
        t.c_iflag |= INPCK;
    }
    if (settings.stopBits == StopBits::Two) t.c_cflag |= CSTOPB;
    if (settings.ctsFlow) t.c_cflag |= CRTSCTS;
    if (settings.xonXoff) t.c_iflag |= IXON | IXOFF;
    std::fill(std::begin(t.c_cc), std::end(t.c_cc), cc_t{0});
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, *rate) != 0 || cfsetospeed(&t, *rate) != 0 || tcsetattr(fd_, TCSANOW, &t) != 0) {
        Fail(errno);
        return false;
    }
    // tcsetattr succeeds when any part of the change took; a device that
    // cannot run at the rate keeps another one. Such a rate is refused and the
    // previous configuration comes back.
    termios now{};
    if (tcgetattr(fd_, &now) != 0) {
        Fail(errno);
        return false;
    }
    if (cfgetospeed(&now) != *rate || (now.c_cflag & CSIZE) != (t.c_cflag & CSIZE)) {
        tcsetattr(fd_, TCSANOW, &before);
        Fail(EINVAL);
        return false;
    }
    // The modem lines. A pseudo-terminal has none and refuses the request;
    // that is not an error.
    dtr_ = settings.dtr;
    rts_ = settings.rts;
    const int on = (settings.dtr ? TIOCM_DTR : 0) | (settings.rts ? TIOCM_RTS : 0);
    const int off = (settings.dtr ? 0 : TIOCM_DTR) | (settings.rts ? 0 : TIOCM_RTS);
    if (on != 0) ioctl(fd_, TIOCMBIS, &on);
    if (off != 0) ioctl(fd_, TIOCMBIC, &off);
    return true;
}

bool PosixSerialPort::GetTimeouts(CommTimeouts& out) {
    out = timeouts_;
    return true;
}

bool PosixSerialPort::SetTimeouts(const CommTimeouts& timeouts) {
    timeouts_ = timeouts;
    return true;
}

// ---- Reading --------------------------------------------------------------

bool PosixSerialPort::Read(std::span<uint8_t> buffer, uint32_t& received) {
    received = 0;
    if (buffer.empty()) return true;
    const std::size_t count = buffer.size();
    const CommTimeouts t = timeouts_;
    const bool nonBlocking = IsNonBlockingRead(t);
    const auto start = SteadyClock::now();

    // The total limit of the call, if the time-outs give one.
    std::optional<SteadyClock::time_point> deadline;
    if (!nonBlocking && (t.readTotalMultiplier != 0 || t.readTotalConstant != 0)) {
        deadline = start + TotalLimit(t.readTotalMultiplier, count, t.readTotalConstant);
    }
    // The longest gap allowed between two bytes once the first has arrived.
    const bool intervalLimit = !nonBlocking && t.readInterval != 0;
    auto lastByte = start;
    bool readyButEmpty = false;

    for (;;) {
        const ssize_t n = read(fd_, buffer.data() + received, count - received);
        if (n > 0) {
            received += static_cast<uint32_t>(n);
            if (received == count) return true;
            lastByte = SteadyClock::now();
            readyButEmpty = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(errno);
            return false;
        }
        // Nothing more has arrived yet.
        if (readyButEmpty) {
            // poll() called the device readable (data, end of file, hang-up or
            // an error) and a read still brings nothing: the other end is gone.
            Fail(EIO);
            return false;
        }
        if (nonBlocking) return true;

        const auto now = SteadyClock::now();
        int waitMs = -1;
        if (deadline) {
            waitMs = MillisecondsUntil(*deadline, now);
            if (waitMs == 0) return true;
        }
        if (intervalLimit && received > 0) {
            const int gapMs = MillisecondsUntil(lastByte + std::chrono::milliseconds(t.readInterval), now);
            if (gapMs == 0) return true;
            waitMs = waitMs < 0 ? gapMs : std::min(waitMs, gapMs);
        }
        pollfd p{fd_, POLLIN, 0};
        const int r = poll(&p, 1, waitMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            return false;
        }
        if (r > 0 && (p.revents & POLLNVAL) != 0) {
            Fail(EBADF);
            return false;
        }
        readyButEmpty = r > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        // On r == 0 the loop reads once more and then finds the limit passed.
    }
}

// ---- Writing --------------------------------------------------------------

bool PosixSerialPort::BeginWrite(std::span<const uint8_t> data) {
    if (pending_) {
        Fail(EBUSY);
        return false;
    }
    const auto now = SteadyClock::now();
    // Assigned rather than emplaced: clang before 15 does not see the nested
    // record (default member initialisers) as default-constructible here.
    pending_ = PendingWrite{};
    PendingWrite& w = *pending_;
    w.data = data;
    w.lastProgress = now;
    if (timeouts_.writeTotalMultiplier != 0 || timeouts_.writeTotalConstant != 0) {
        w.hasDeadline = true;
        w.deadline = now + TotalLimit(timeouts_.writeTotalMultiplier, data.size(), timeouts_.writeTotalConstant);
    }
    const Step step = Advance(w);
    if (step != Step::Blocked) w.ended = step == Step::Done ? WriteStatus::Done : WriteStatus::Failed;
    return true;
}

PosixSerialPort::Step PosixSerialPort::Advance(PendingWrite& w) {
    const uint32_t before = w.sent;
    while (w.sent < w.data.size()) {
        const ssize_t n = write(fd_, w.data.data() + w.sent, w.data.size() - w.sent);
        if (n > 0) {
            w.sent += static_cast<uint32_t>(n);
            w.lastProgress = SteadyClock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
        Fail(errno);
        return Step::Failed;
    }
    if (w.sent != before) w.hangup = false;
    return w.sent < w.data.size() ? Step::Blocked : Step::Done;
}

int PosixSerialPort::WaitBudgetMs(const PendingWrite& w, SteadyClock::time_point now) {
    const auto limit =
        w.hasDeadline ? w.deadline : w.lastProgress + std::chrono::milliseconds(kWriteStallLimitMs);
    const int ms = MillisecondsUntil(limit, now);
    if (ms == 0) {
        Fail(ETIMEDOUT);
        return -1;
    }
    return ms;
}

WriteStatus PosixSerialPort::PollWrite(uint32_t waitMs, uint32_t& sent) {
    if (!pending_) {
        sent = 0;
        Fail(EINVAL);
        return WriteStatus::Failed;
    }
    PendingWrite& w = *pending_;
    const bool limited = waitMs != kInfinite;
    const auto waitEnd = SteadyClock::now() + std::chrono::milliseconds(limited ? waitMs : 0);
    while (!w.ended) {
        const Step step = Advance(w);
        if (step != Step::Blocked) {
            w.ended = step == Step::Done ? WriteStatus::Done : WriteStatus::Failed;
            break;
        }
        if (w.hangup) {
            // A hang-up or an error after which the device still takes nothing ends the write.
            Fail(EIO);
            w.ended = WriteStatus::Failed;
            break;
        }
        const auto now = SteadyClock::now();
        int budget = WaitBudgetMs(w, now);
        if (budget < 0) {
            w.ended = WriteStatus::Failed;
            break;
        }
        if (limited) {
            const int left = MillisecondsUntil(waitEnd, now);
            if (left == 0) break;
            budget = std::min(budget, left);
        }
        pollfd p{fd_, POLLOUT, 0};
        const int r = poll(&p, 1, budget);
        if (r < 0 && errno != EINTR) {
            Fail(errno);
            w.ended = WriteStatus::Failed;
            break;
        }
        if (r > 0 && (p.revents & POLLNVAL) != 0) {
            Fail(EBADF);
            w.ended = WriteStatus::Failed;
            break;
        }
        w.hangup = r > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
    }
    sent = w.sent;
    if (!w.ended) return WriteStatus::Pending;
    const WriteStatus status = *w.ended;
    pending_.reset();
    return status;
}

bool PosixSerialPort::Write(std::span<const uint8_t> data, uint32_t& sent) {
    sent = 0;
    if (!BeginWrite(data)) return false;
    WriteStatus status = WriteStatus::Pending;
    while (status == WriteStatus::Pending) status = PollWrite(kInfinite, sent);
    return status == WriteStatus::Done;
}

// ---- Draining -------------------------------------------------------------

bool PosixSerialPort::Drain() {
    if (pending_) {
        Fail(EBUSY);
        return false;
    }
    // The driver's output queue (pseudo-terminals always report it empty).
    int last = -1;
    auto lastProgress = SteadyClock::now();
    for (;;) {
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0) {
            Fail(errno);
            return false;
        }
        if (queued <= 0) break;
        const auto now = SteadyClock::now();
        if (last < 0 || queued < last) {
            last = queued;
            lastProgress = now;
        } else if (now - lastProgress >= std::chrono::milliseconds(kWriteStallLimitMs)) {
            Fail(ETIMEDOUT);
            return false;
        }
        poll(nullptr, 0, 1);
    }
    return WaitTransmitterEmpty();
}

bool PosixSerialPort::WaitTransmitterEmpty() {
#if defined(TIOCSERGETLSR) && defined(TIOCSER_TEMT)
    // The last bytes in the UART itself, where the device can tell (a few
    // characters' time); devices without a line status register skip this.
    const auto start = SteadyClock::now();
    for (;;) {
        int status = 0;
        if (ioctl(fd_, TIOCSERGETLSR, &status) != 0 || (status & TIOCSER_TEMT) != 0) return true;
        if (SteadyClock::now() - start >= std::chrono::milliseconds(kWriteStallLimitMs)) {
            Fail(ETIMEDOUT);
            return false;
        }
        poll(nullptr, 0, 1);
    }
#else
    return true;
#endif
}

}  // namespace flashwire::platform::posix
