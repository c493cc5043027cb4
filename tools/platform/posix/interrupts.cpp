// Interrupts on POSIX: SIGINT and SIGTERM, blocked and taken by a thread of
// the watch's own. A handler that does nothing is installed meanwhile: a
// blocked signal whose disposition is "ignore" (as a shell may leave SIGINT
// for a background command) may be discarded when it is sent, before the
// watch can take it.
#include "interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <thread>

#include "exit_codes.h"

namespace flashwire::cli {
namespace {

// How often the watch looks whether it should end.
constexpr long kWaitSliceNs = 100'000'000;

extern "C" void IgnoreSignal(int) {}

}  // namespace

struct InterruptWatch::SystemPart {
    sigset_t signals{};
    sigset_t previousMask{};
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
    std::jthread thread;
};

namespace {

void Watch(std::stop_token stop, const sigset_t& signals, std::atomic<int>& count) {
    const timespec slice{0, kWaitSliceNs};
    while (!stop.stop_requested()) {
        if (sigtimedwait(&signals, nullptr, &slice) <= 0) continue;
        if (count.fetch_add(1) + 1 < 2) continue;
        // The line starts on a fresh line in case a progress bar was drawn.
        std::fflush(stdout);
        std::fputs("\nflashwire: interrupted again, quitting\n", stderr);
        std::fflush(stderr);
        ::_exit(kExitInterruptedAgain);
    }
}

}  // namespace

InterruptWatch::InterruptWatch() : system_(std::make_unique<SystemPart>()) {
    SystemPart& s = *system_;
    sigemptyset(&s.signals);
    sigaddset(&s.signals, SIGINT);
    sigaddset(&s.signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &s.signals, &s.previousMask);
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &s.previousInt);
    sigaction(SIGTERM, &action, &s.previousTerm);
    s.thread = std::jthread([&s, this](std::stop_token stop) { Watch(stop, s.signals, count_); });
}

InterruptWatch::~InterruptWatch() {
    SystemPart& s = *system_;
    s.thread.request_stop();
    s.thread.join();
    // A signal that came after the watch's last look is dropped rather than
    // left to end the program when the mask is restored.
    const timespec now{0, 0};
    while (sigtimedwait(&s.signals, nullptr, &now) > 0) {
    }
    sigaction(SIGINT, &s.previousInt, nullptr);
    sigaction(SIGTERM, &s.previousTerm, nullptr);
    pthread_sigmask(SIG_SETMASK, &s.previousMask, nullptr);
}

}  // namespace flashwire::cli
