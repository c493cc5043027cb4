// Ctrl-C while a job runs: the first interrupt (SIGINT or SIGTERM; on Windows
// Ctrl-C, Ctrl-Break or the console closing) is only counted, and the job's
// abortPoll asks the library to abort; a second one ends the program at once
// with status 130.
//
// How interrupts are taken is the system's business
// (tools/platform/<system>/interrupts.cpp). On POSIX systems the signals are
// blocked in the thread that creates the watch, and so in every thread the
// library starts after it; a thread of the watch's own takes them with
// sigtimedwait, so no library thread is ever interrupted in a system call.
#pragma once

#include <atomic>
#include <memory>

namespace flashwire::cli {

// Create it before the library starts any thread. One at a time.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Interrupts received so far.
    int Count() const { return count_.load(); }

private:
    struct SystemPart;  // defined by the system's implementation

    std::atomic<int> count_{0};
    std::unique_ptr<SystemPart> system_;
};

}  // namespace flashwire::cli
