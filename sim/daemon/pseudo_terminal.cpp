#include "sim/daemon/pseudo_terminal.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace flashwire::simd {

namespace {

std::string SystemText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

uint32_t BaudOfSpeedConstant(unsigned speedConstant) {
    struct Entry {
        speed_t constant;
        uint32_t baud;
    };
    static constexpr Entry kRates[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
        {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
        {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
        {B3500000, 3500000}, {B4000000, 4000000},
    };
    for (const Entry& e : kRates) {
        if (e.constant == speedConstant) return e.baud;
    }
    return 0;
}

PseudoTerminal::~PseudoTerminal() { Close(); }

PseudoTerminal::PseudoTerminal(PseudoTerminal&& other) noexcept
    : master_(std::exchange(other.master_, -1)),
      heldSlave_(std::exchange(other.heldSlave_, -1)),
      slavePath_(std::move(other.slavePath_)),
      holder_(std::exchange(other.holder_, -1)),
      holderPipe_(std::exchange(other.holderPipe_, -1)),
      closeWatch_(std::exchange(other.closeWatch_, -1)) {}

PseudoTerminal& PseudoTerminal::operator=(PseudoTerminal&& other) noexcept {
    if (this != &other) {
        Close();
        master_ = std::exchange(other.master_, -1);
        heldSlave_ = std::exchange(other.heldSlave_, -1);
        slavePath_ = std::move(other.slavePath_);
        holder_ = std::exchange(other.holder_, -1);
        holderPipe_ = std::exchange(other.holderPipe_, -1);
        closeWatch_ = std::exchange(other.closeWatch_, -1);
    }
    return *this;
}

bool PseudoTerminal::Open(std::string& error) {
    Close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        error = SystemText("posix_openpt");
        return false;
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = SystemText("grantpt/unlockpt");
        Close();
        return false;
    }
    char name[256] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = SystemText("ptsname_r");
        Close();
        return false;
    }
    slavePath_ = name;
    heldSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (heldSlave_ < 0) {
        error = SystemText(("open " + slavePath_).c_str());
        Close();
        return false;
    }
    termios tio{};
    if (tcgetattr(heldSlave_, &tio) != 0) {
        error = SystemText("tcgetattr");
        Close();
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(heldSlave_, TCSANOW, &tio) != 0) {
        error = SystemText("tcsetattr");
        Close();
        return false;
    }
    int packetMode = 1;
    if (ioctl(master_, TIOCPKT, &packetMode) != 0) {
        error = SystemText("ioctl TIOCPKT");
        Close();
        return false;
    }
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) {
        error = SystemText("fcntl");
        Close();
        return false;
    }
    if (!StartSessionHolder(error)) {
        Close();
        return false;
    }
    // Closes by clients only: the daemon's own slave descriptor stays open
    // until Close(), and the session holder's copy is never the last one.
    // Without a watch (the system's inotify limits reached) the terminal
    // still works; only a byte read after a reopen is judged at the new rate.
    closeWatch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closeWatch_ >= 0 && inotify_add_watch(closeWatch_, slavePath_.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(closeWatch_);
        closeWatch_ = -1;
    }
    return true;
}

bool PseudoTerminal::TakeCloses() {
    if (closeWatch_ < 0) return false;
    bool closed = false;
    alignas(inotify_event) std::array<char, 1024> events{};
    for (;;) {
        const ssize_t n = ::read(closeWatch_, events.data(), events.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return closed;
        // Only close events are asked for (and the watch's own removal,
        // which cannot happen while the slave exists).
        closed = true;
    }
}

bool PseudoTerminal::StartSessionHolder(std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = SystemText("pipe");
        return false;
    }
    // Bounded: the descriptors the child closes.
    rlimit limit{};
    const int maxFd = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                          ? static_cast<int>(limit.rlim_cur)
                          : 65536;
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = SystemText("fork");
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // The child: async-signal-safe calls only. It keeps just the slave
        // and the pipe (no other terminal, link or file of the daemon), takes
        // the terminal into a new session and waits for the pipe to close.
        for (int fd = 0; fd < maxFd; ++fd) {
            if (fd != heldSlave_ && fd != fds[0]) ::close(fd);
        }
        if (::setsid() < 0 || ::ioctl(heldSlave_, TIOCSCTTY, 0) != 0) ::_exit(1);
        char c;
        while (::read(fds[0], &c, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(fds[0]);
    holder_ = pid;
    holderPipe_ = fds[1];
    return true;
}

bool PseudoTerminal::ReadPcLine(PcLine& out) const {
    termios tio{};
    if (master_ < 0 || tcgetattr(master_, &tio) != 0) return false;
    out.baud = BaudOfSpeedConstant(cfgetospeed(&tio));
    uint32_t dataBits = 8;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            dataBits = 5;
            break;
        case CS6:
            dataBits = 6;
            break;
        case CS7:
            dataBits = 7;
            break;
        default:
            dataBits = 8;
            break;
    }
    out.frameBits = 1 + dataBits + ((tio.c_cflag & PARENB) ? 1 : 0) + ((tio.c_cflag & CSTOPB) ? 2 : 1);
    return true;
}

long PseudoTerminal::ReadFromPc(std::span<uint8_t> buffer, PcFlushes& flushes) {
    if (buffer.empty()) return 0;
    // In packet mode every read starts with a status byte: 0 for data that
    // follows, otherwise TIOCPKT_* flags and no data.
    std::array<uint8_t, 1025> packet{};
    const std::size_t want = std::min(buffer.size(), packet.size() - 1) + 1;
    for (;;) {
        const ssize_t n = ::read(master_, packet.data(), want);
        if (n < 0) {
            if (errno == EINTR) continue;
            // EIO cannot come while the slave is held; treat it like "nothing".
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO) return 0;
            return -1;
        }
        if (n == 0) return 0;
        const uint8_t status = packet[0];
        if (status == TIOCPKT_DATA) {
            const auto count = static_cast<std::size_t>(n - 1);
            std::copy_n(packet.begin() + 1, count, buffer.begin());
            return static_cast<long>(count);
        }
        if ((status & TIOCPKT_FLUSHREAD) != 0) flushes.input = true;
        if ((status & TIOCPKT_FLUSHWRITE) != 0) flushes.output = true;
        // A status packet carries no data; look for data behind it.
    }
}

long PseudoTerminal::WriteToPc(std::span<const uint8_t> data) {
    if (data.empty()) return 0;
    for (;;) {
        const ssize_t n = ::write(master_, data.data(), data.size());
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

void PseudoTerminal::Close() {
    if (closeWatch_ >= 0) ::close(closeWatch_);
    closeWatch_ = -1;
    if (heldSlave_ >= 0) ::close(heldSlave_);
    if (master_ >= 0) ::close(master_);
    heldSlave_ = -1;
    master_ = -1;
    slavePath_.clear();
    // The holder ends as soon as its pipe closes.
    if (holderPipe_ >= 0) ::close(holderPipe_);
    holderPipe_ = -1;
    if (holder_ > 0) {
        while (::waitpid(holder_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    holder_ = -1;
}

}  // namespace flashwire::simd
