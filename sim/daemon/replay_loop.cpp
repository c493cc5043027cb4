#include "sim/daemon/replay_loop.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

namespace flashwire::simd {
namespace {

// Bytes waiting for a terminal that does not take them (beyond: lost).
constexpr std::size_t kReplayOutputLimit = 1u << 20;

void Say(std::FILE* out, const std::string& line) {
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

// Open notices of the two terminals' slave devices.
class OpenWatch {
public:
    explicit OpenWatch(const std::array<PseudoTerminal, 2>& terminals) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) return;
        for (std::size_t i = 0; i < terminals.size(); ++i)
            watches_[i] = inotify_add_watch(fd_, terminals[i].SlavePath().c_str(), IN_OPEN);
    }
    ~OpenWatch() {
        if (fd_ >= 0) close(fd_);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool active() const { return fd_ >= 0 && watches_[0] >= 0 && watches_[1] >= 0; }
    int Fd() const { return fd_; }

    // Counts the opens since the last call, per terminal.
    void Take(std::array<uint32_t, 2>& opens) {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) return;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                for (std::size_t i = 0; i < 2; ++i)
                    if (event.wd == watches_[i] && (event.mask & IN_OPEN) != 0) ++opens[i];
                at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            }
        }
    }

private:
    int fd_ = -1;
    int watches_[2] = {-1, -1};
};

}  // namespace

std::string ReplaySummary(const sim::ReplayPhone& replay) {
    std::string text = "replay: ";
    if (replay.divergence()) {
        text += "diverged at trace line " + std::to_string(replay.waitingLine());
    } else if (replay.finished()) {
        text += "complete";
    } else {
        text += "stopped before the end: waiting at trace line " + std::to_string(replay.waitingLine()) + " of " +
                std::to_string(replay.eventCount()) + " events";
    }
    for (uint32_t p = 0; p < sim::kReplayPorts; ++p) {
        text += "; p" + std::to_string(p) + ": " + std::to_string(replay.matched(p)) + " bytes matched, " +
                std::to_string(replay.answered(p)) + " answered, " + std::to_string(replay.repeats(p)) +
                " pings repeated, " + std::to_string(replay.skips(p)) + " skipped";
    }
    return text;
}

bool RunReplayLoop(ReplayParts parts, int& signalNumber, std::string& error) {
    sim::ReplayPhone& replay = parts.replay;
    OpenWatch watch(parts.terminals);
    if (!watch.active()) {
        replay.IgnoreOpens();
        Say(parts.out, std::string("replay: the host's opening of a terminal cannot be watched (inotify: ") +
                           std::strerror(errno) + "); answers after an open are timed from the start");
    }
    std::array<std::deque<uint8_t>, 2> pending;
    bool toldComplete = false;
    bool toldDivergence = false;
    uint64_t lost = 0;
    for (;;) {
        const uint64_t now = parts.clock.NowUs();
        if (watch.active()) {
            std::array<uint32_t, 2> opens{};
            watch.Take(opens);
            for (uint32_t p = 0; p < 2; ++p)
                for (uint32_t k = 0; k < opens[p]; ++k) replay.HostOpened(p, now);
        }
        for (uint32_t p = 0; p < 2; ++p) {
            std::array<uint8_t, 4096> buffer{};
            for (;;) {
                PcFlushes flushes;
                const long n = parts.terminals[p].ReadFromPc(buffer, flushes);
                if (n < 0) {
                    error = "cannot read " + parts.terminals[p].SlavePath() + ": " + std::strerror(errno);
                    return false;
                }
                if (flushes.input) pending[p].clear();
                if (n == 0) break;
                replay.FromHost(p, std::span<const uint8_t>(buffer.data(), static_cast<std::size_t>(n)), now);
            }
        }
        for (uint32_t p = 0; p < 2; ++p) {
            for (const uint8_t b : replay.TakeToHost(p, now)) {
                if (pending[p].size() < kReplayOutputLimit)
                    pending[p].push_back(b);
                else
                    ++lost;
            }
            std::array<uint8_t, 4096> chunk{};
            while (!pending[p].empty()) {
                const std::size_t n = std::min(chunk.size(), pending[p].size());
                std::copy_n(pending[p].begin(), n, chunk.begin());
                const long written = parts.terminals[p].WriteToPc(std::span<const uint8_t>(chunk.data(), n));
                if (written < 0) {
                    error = "cannot write " + parts.terminals[p].SlavePath() + ": " + std::strerror(errno);
                    return false;
                }
                if (written == 0) break;
                pending[p].erase(pending[p].begin(), pending[p].begin() + written);
            }
        }
        if (replay.divergence() && !toldDivergence) {
            toldDivergence = true;
            Say(parts.out, "replay: diverged: " + replay.divergence()->Describe());
        }
        if (replay.finished() && !toldComplete) {
            toldComplete = true;
            Say(parts.out, "replay: complete (" + std::to_string(replay.eventCount()) + " events)");
        }
        if (lost != 0) {
            Say(parts.out, "replay: " + std::to_string(lost) + " bytes lost, the host does not read");
            lost = 0;
        }

        pollfd fds[4] = {};
        fds[0] = {parts.signals.Fd(), POLLIN, 0};
        fds[1] = {watch.active() ? watch.Fd() : -1, POLLIN, 0};
        for (std::size_t i = 0; i < 2; ++i) {
            const short events = static_cast<short>(POLLIN | (pending[i].empty() ? 0 : POLLOUT));
            fds[i + 2] = {parts.terminals[i].MasterFd(), events, 0};
        }
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        const uint64_t due = replay.NextDueUs();
        if (due != UINT64_MAX) {
            const uint64_t nowAgain = parts.clock.NowUs();
            const uint64_t waitUs = due > nowAgain ? due - nowAgain : 0;
            timeout.tv_sec = static_cast<time_t>(waitUs / 1000000u);
            timeout.tv_nsec = static_cast<long>((waitUs % 1000000u) * 1000u);
            timeoutPtr = &timeout;
        }
        const int r = ppoll(fds, 4, timeoutPtr, nullptr);
        if (r < 0 && errno != EINTR) {
            error = std::string("ppoll: ") + std::strerror(errno);
            return false;
        }
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            const int signal = parts.signals.Take();
            if (signal != 0) {
                signalNumber = signal;
                return true;
            }
        }
    }
}

}  // namespace flashwire::simd
