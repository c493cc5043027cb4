#include "sim/daemon/daemon_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace flashwire::simd {

namespace {

// The shortest step between two wake-ups that deliver the PC's bytes: at high
// rates a few bytes are handed over together (each with its own exact time)
// instead of waking once per byte.
constexpr uint64_t kMinInputStepUs = 100;

}  // namespace

bool RunDaemonLoop(LoopParts parts, int& signalNumber, std::string& error) {
    sim::Phone& phone = parts.phone;
    uint64_t lostReported[2] = {0, 0};
    uint64_t lastInputWakeUs = 0;
    for (;;) {
        const uint64_t now = parts.clock.NowUs();

        for (UartBridge& u : parts.uarts) {
            if (!u.PullFromPc(now)) {
                error = "cannot read " + u.Terminal().SlavePath() + ": " + std::strerror(errno);
                return false;
            }
        }
        // The PC's bytes whose last bit has arrived, in time order over both
        // UARTs (the model's time never goes back).
        bool delivered = false;
        for (;;) {
            UartBridge* first = nullptr;
            uint64_t firstUs = UINT64_MAX;
            for (UartBridge& u : parts.uarts) {
                const uint64_t t = u.NextArrivalUs();
                if (t <= now && t < firstUs) {
                    first = &u;
                    firstUs = t;
                }
            }
            if (first == nullptr) break;
            first->DeliverTo(phone);
            delivered = true;
        }
        if (delivered) lastInputWakeUs = now;
        phone.RunUntil(now);
        parts.restarts.NoticeRestarts();

        for (UartBridge& u : parts.uarts) {
            if (!u.ForwardToPc(phone, now)) {
                error = "cannot write " + u.Terminal().SlavePath() + ": " + std::strerror(errno);
                return false;
            }
        }
        if (parts.echo != nullptr) {
            parts.echo->EchoNew(phone);
            for (UartBridge& u : parts.uarts) {
                if (u.lostToPc() != lostReported[u.Uart()]) {
                    const std::string text = "UART " + std::string(u.Uart() == 0 ? "A" : "B") + ": " +
                                             std::to_string(u.lostToPc() - lostReported[u.Uart()]) +
                                             " bytes lost, the PC side does not read";
                    parts.echo->Note(now, text.c_str());
                    lostReported[u.Uart()] = u.lostToPc();
                }
            }
        }

        // Sleep until the next byte reaches the phone or the PC, the phone's
        // next timer, a byte from the PC, room on a terminal or a signal.
        uint64_t wake = phone.NextEventUs();
        for (UartBridge& u : parts.uarts) {
            const uint64_t arrival = u.NextArrivalUs();
            if (arrival != UINT64_MAX) {
                wake = std::min(wake, std::max(arrival, lastInputWakeUs + kMinInputStepUs));
            }
            wake = std::min(wake, phone.NextOutputUs(u.Uart()));
        }
        // A time the phone has already reached would only spin the loop.
        if (wake != UINT64_MAX) wake = std::max(wake, now + 1);

        pollfd fds[3] = {};
        fds[0] = {parts.signals.Fd(), POLLIN, 0};
        for (std::size_t i = 0; i < 2; ++i) {
            const UartBridge& u = parts.uarts[i];
            short events = 0;
            if (u.WantsPcInput()) events |= POLLIN;
            if (u.HasPendingOutput()) events |= POLLOUT;
            // Without events the descriptor is left out of the wait.
            fds[i + 1] = {events != 0 ? u.Terminal().MasterFd() : -1, events, 0};
        }
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (wake != UINT64_MAX) {
            const uint64_t nowAgain = parts.clock.NowUs();
            const uint64_t waitUs = wake > nowAgain ? wake - nowAgain : 0;
            timeout.tv_sec = static_cast<time_t>(waitUs / 1000000u);
            timeout.tv_nsec = static_cast<long>((waitUs % 1000000u) * 1000u);
            timeoutPtr = &timeout;
        }
        const int r = ppoll(fds, 3, timeoutPtr, nullptr);
        if (r < 0 && errno != EINTR) {
            error = std::string("ppoll: ") + std::strerror(errno);
            return false;
        }
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            const int signal = parts.signals.Take();
            if (signal == SIGUSR1) {
                const uint64_t at = parts.clock.NowUs();
                parts.restarts.PowerCycle(at);
                if (parts.echo != nullptr) parts.echo->Note(at, "power cycle (SIGUSR1)");
            } else if (signal != 0) {
                signalNumber = signal;
                return true;
            }
        }
    }
}

}  // namespace flashwire::simd
