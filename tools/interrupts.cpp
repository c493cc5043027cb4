#include "interrupts.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <unistd.h>

#include "exit_codes.h"

namespace flashwire::cli {
namespace {

// How often the watch looks whether it should end.
constexpr long kWaitSliceNs = 100'000'000;

extern "C" void IgnoreSignal(int) {}

}  // namespace

InterruptWatch::InterruptWatch() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
    thread_ = std::jthread([this](std::stop_token stop) { Watch(stop); });
}

InterruptWatch::~InterruptWatch() {
    thread_.request_stop();
    thread_.join();
    // A signal that came after the watch's last look is dropped rather than
    // left to end the program when the mask is restored.
    const timespec now{0, 0};
    while (sigtimedwait(&signals_, nullptr, &now) > 0) {
    }
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void InterruptWatch::Watch(std::stop_token stop) {
    const timespec slice{0, kWaitSliceNs};
    while (!stop.stop_requested()) {
        if (sigtimedwait(&signals_, nullptr, &slice) <= 0) continue;
        if (count_.fetch_add(1) + 1 < 2) continue;
        // The line starts on a fresh line in case a progress bar was drawn.
        std::fflush(stdout);
        std::fputs("\nflashwire: interrupted again, quitting\n", stderr);
        std::fflush(stderr);
        ::_exit(kExitInterruptedAgain);
    }
}

}  // namespace flashwire::cli
