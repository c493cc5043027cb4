// The system's serial ports: opening a port by number, and writing streams on
// several ports at once from one thread with a poll() loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/posix/posix_serial_port.h"
#include "platform/posix/posix_services.h"

namespace flashwire::platform::posix {
namespace {

class PosixSerialProvider final : public SerialProvider {
public:
    std::unique_ptr<SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override;
    void WriteConcurrently(std::span<StreamWrite> writes) override;
};

std::unique_ptr<SerialPort> PosixSerialProvider::Open(uint32_t portNumber, bool /*overlapped*/,
                                                      uint32_t& systemError) {
    // Every descriptor is non-blocking and every wait bounded, so the
    // overlapped and the plain mode behave alike here.
    if (portNumber >= kSerialPortNumbers) {
        systemError = ENODEV;
        return nullptr;
    }
    const std::string path = SerialDevicePath(portNumber);
    // O_NONBLOCK keeps the open itself from waiting for a carrier.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        systemError = static_cast<uint32_t>(errno);
        return nullptr;
    }
    if (!isatty(fd)) {
        close(fd);
        systemError = ENOTTY;
        return nullptr;
    }
    // Nobody else may open the port while we hold it (pseudo-terminals may
    // refuse the request; then the port is simply not exclusive).
    ioctl(fd, TIOCEXCL);
    systemError = 0;
    return std::make_unique<PosixSerialPort>(fd);
}

// One stream being written by the poll loop.
struct Stream {
    StreamWrite* write = nullptr;
    PosixSerialPort* port = nullptr;
    PendingWrite pending;
    bool started = false;
    bool finished = false;
    bool hangup = false;
};

void Finish(Stream& s, bool ok) {
    s.write->sent = s.pending.sent;
    s.write->ok = ok;
    s.finished = true;
}

void PosixSerialProvider::WriteConcurrently(std::span<StreamWrite> writes) {
    std::vector<Stream> streams;
    std::vector<StreamWrite*> foreign;  // ports of another provider: written one after the other
    streams.reserve(writes.size());
    for (StreamWrite& w : writes) {
        w.sent = 0;
        w.ok = false;
        if (w.port == nullptr) continue;
        auto* port = dynamic_cast<PosixSerialPort*>(w.port);
        if (port == nullptr) {
            foreign.push_back(&w);
            continue;
        }
        streams.push_back(Stream{&w, port, PendingWrite{}, false, false, false});
    }

    std::vector<pollfd> fds;
    std::vector<Stream*> polled;
    for (;;) {
        fds.clear();
        polled.clear();
        int waitMs = INT_MAX;
        std::vector<PosixSerialPort*> busy;  // one stream per port at a time, in the given order
        for (Stream& s : streams) {
            if (s.finished) continue;
            if (std::find(busy.begin(), busy.end(), s.port) != busy.end()) continue;
            busy.push_back(s.port);
            const auto now = SteadyClock::now();
            if (!s.started) {
                s.pending = s.port->BeginWrite(s.write->data, now);
                s.started = true;
            }
            const uint32_t before = s.pending.sent;
            const WriteState state = s.port->Advance(s.pending);
            if (s.pending.sent != before) s.hangup = false;
            if (state != WriteState::Blocked) {
                Finish(s, state == WriteState::Done);
                continue;
            }
            if (s.hangup) {
                s.port->Fail(EIO);
                Finish(s, false);
                continue;
            }
            const int budget = s.port->WaitBudgetMs(s.pending, SteadyClock::now());
            if (budget < 0) {
                Finish(s, false);
                continue;
            }
            waitMs = std::min(waitMs, budget);
            fds.push_back(pollfd{s.port->Fd(), POLLOUT, 0});
            polled.push_back(&s);
        }
        if (fds.empty()) {
            // Either all streams are finished, or one finished and the next
            // stream of its port starts on the following pass.
            if (std::all_of(streams.begin(), streams.end(), [](const Stream& s) { return s.finished; })) break;
            continue;
        }
        const int r = poll(fds.data(), fds.size(), waitMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            for (Stream* s : polled) {
                s->port->Fail(error);
                Finish(*s, false);
            }
            continue;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            const short ev = fds[i].revents;
            if ((ev & POLLNVAL) != 0) {
                polled[i]->port->Fail(EBADF);
                Finish(*polled[i], false);
            } else {
                polled[i]->hangup = (ev & (POLLERR | POLLHUP)) != 0;
            }
        }
    }

    for (StreamWrite* w : foreign) w->ok = w->port->Write(w->data, w->sent);
}

}  // namespace

SerialProvider& PosixSerialPorts() {
    static PosixSerialProvider ports;
    return ports;
}

}  // namespace flashwire::platform::posix
