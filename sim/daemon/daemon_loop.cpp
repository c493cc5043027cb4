#include "sim/daemon/daemon_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace flashwire::simd {

namespace {

// With exact pacing (a time slice of 0) the PC's bytes are still handed over
// a few at a time at high rates (each with its own exact time): the shortest
// step between two wake-ups that deliver them.
constexpr uint64_t kMinInputStepUs = 100;
// The phone's command and fault logs are emptied when they hold this many
// records together (after --verbose has shown them): a daemon that serves
// phones for days keeps its memory flat.
constexpr std::size_t kLogsKept = 4096;

// Hands the PC's bytes whose last bit has arrived by now to the phone, in time
// order over both UARTs (the model's time never goes back). True if any.
bool DeliverArrived(std::array<UartBridge, 2>& uarts, sim::Phone& phone, uint64_t now) {
    bool delivered = false;
    for (;;) {
        UartBridge* first = nullptr;
        uint64_t firstUs = UINT64_MAX;
        for (UartBridge& u : uarts) {
            const uint64_t t = u.NextArrivalUs();
            if (t <= now && t < firstUs) {
                first = &u;
                firstUs = t;
            }
        }
        if (first == nullptr) return delivered;
        first->DeliverTo(phone);
        delivered = true;
    }
}

void EchoAndTrimLogs(LoopParts& parts, uint64_t now, uint64_t (&lostReported)[2]) {
    sim::Phone& phone = parts.phone;
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
    if (phone.commandLog().size() + phone.faultLog().size() >= kLogsKept) {
        phone.ClearLogs();
        if (parts.echo != nullptr) parts.echo->Forget();
    }
}

}  // namespace

bool RunDaemonLoop(LoopParts parts, int& signalNumber, std::string& error) {
    sim::Phone& phone = parts.phone;
    const uint64_t slice = parts.timeSliceUs;
    uint64_t lostReported[2] = {0, 0};
    uint64_t lastInputWakeUs = 0;
    for (;;) {
        // One step: everything due by now, whatever the slice held.
        const uint64_t now = parts.clock.NowUs();
        for (UartBridge& u : parts.uarts) {
            u.BeginStep();
            if (!u.PullFromPc(now)) {
                error = "cannot read " + u.Terminal().SlavePath() + ": " + std::strerror(errno);
                return false;
            }
        }
        if (DeliverArrived(parts.uarts, phone, now)) lastInputWakeUs = now;
        phone.RunUntil(now);
        parts.restarts.NoticeRestarts();
        for (UartBridge& u : parts.uarts) {
            if (!u.ForwardToPc(phone, now)) {
                error = "cannot write " + u.Terminal().SlavePath() + ": " + std::strerror(errno);
                return false;
            }
        }
        EchoAndTrimLogs(parts, now, lostReported);

        // The next time something is due: a byte reaching the phone or the
        // PC, or a timer of the phone.
        uint64_t due = phone.NextEventUs();
        for (UartBridge& u : parts.uarts) {
            const uint64_t arrival = u.NextArrivalUs();
            if (arrival != UINT64_MAX) {
                due = std::min(due, slice == 0 ? std::max(arrival, lastInputWakeUs + kMinInputStepUs) : arrival);
            }
            due = std::min(due, phone.NextOutputUs(u.Uart()));
        }
        // Time slices: while something is due within a slice, the next step
        // comes a slice after this one, so a stream of bytes costs one
        // wake-up per slice, each delivering what the line carried meanwhile
        // with its exact times. With nothing due that soon (an idle line),
        // the daemon also wakes when the PC writes (so its first byte is
        // stamped when it comes) or when the terminal takes waiting bytes.
        // A time the phone has already reached would only spin the loop.
        const bool watchTerminals = slice == 0 || due == UINT64_MAX || due > now + slice;
        uint64_t wake = due;
        if (wake != UINT64_MAX) wake = std::max({wake, now + 1, now + slice});

        // Closes of a port are taken at once: see UartBridge.
        pollfd fds[5] = {};
        fds[0] = {parts.signals.Fd(), POLLIN, 0};
        for (std::size_t i = 0; i < 2; ++i) {
            const UartBridge& u = parts.uarts[i];
            short events = 0;
            if (watchTerminals && u.WantsPcInput()) events |= POLLIN;
            if (watchTerminals && u.HasPendingOutput()) events |= POLLOUT;
            // Without events the descriptor is left out of the wait.
            fds[i + 1] = {events != 0 ? u.Terminal().MasterFd() : -1, events, 0};
            fds[i + 3] = {u.Terminal().CloseWatchFd(), POLLIN, 0};
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
        const int r = ppoll(fds, 5, timeoutPtr, nullptr);
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
