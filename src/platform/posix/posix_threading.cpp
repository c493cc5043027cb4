// Threads and thread priorities on POSIX threads (events: posix_event.cpp).
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/posix/posix_event.h"
#include "platform/posix/posix_services.h"

namespace flashwire::platform::posix {
namespace {

// Waits on cv until pred holds or timeoutMs passed (kInfinite: no limit).
template <class Pred>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Pred pred) {
    if (timeoutMs == kInfinite) {
        cv.wait(lock, pred);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

// State shared by a thread and its handle; it lives as long as either needs it.
struct ThreadState {
    std::function<uint32_t()> body;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    uint32_t exitCode = 0;
};

void* ThreadEntry(void* arg) {
    // Take over the reference the starter handed in.
    std::unique_ptr<std::shared_ptr<ThreadState>> holder(static_cast<std::shared_ptr<ThreadState>*>(arg));
    std::shared_ptr<ThreadState> state = *holder;
    const uint32_t code = state->body();
    std::lock_guard lock(state->mutex);
    state->exitCode = code;
    state->done = true;
    state->cv.notify_all();
    return nullptr;
}

class PosixThread final : public Thread {
public:
    PosixThread(pthread_t id, std::shared_ptr<ThreadState> state) : id_(id), state_(std::move(state)) {}
    ~PosixThread() override {
        if (joined_) return;
        pthread_detach(id_);
    }

    bool Join(uint32_t timeoutMs) override {
        if (joined_) return true;
        {
            std::unique_lock lock(state_->mutex);
            if (!WaitFor(state_->cv, lock, timeoutMs, [&] { return state_->done; })) return false;
        }
        pthread_join(id_, nullptr);
        joined_ = true;
        return true;
    }

    uint32_t ExitCode() const override {
        std::lock_guard lock(state_->mutex);
        return state_->exitCode;
    }

private:
    pthread_t id_;
    std::shared_ptr<ThreadState> state_;
    bool joined_ = false;
};

// The logical priority last given to the calling thread, and the nice value
// the thread had at normal priority (read at its first change): the job's
// priorities are steps relative to it, as a thread's priority is relative to
// its process, so going back to normal restores what the thread started with.
thread_local int t_priority = kPriorityNormal;
thread_local bool t_baseKnown = false;
thread_local int t_baseNice = 0;

int NiceOffsetFor(int priority) {
    if (priority >= kPriorityTimeCritical) return -20;
    if (priority >= kPriorityHighest) return -10;
    if (priority > 0) return -5;
    if (priority < 0) return 5;
    return 0;
}

}  // namespace

std::unique_ptr<Event> PosixThreading::CreateEvent(bool manualReset, bool initiallySet) {
    return std::make_unique<PosixEvent>(manualReset, initiallySet);
}

std::unique_ptr<Thread> PosixThreading::StartThread(std::size_t stackBytes, std::function<uint32_t()> body) {
    auto state = std::make_shared<ThreadState>();
    state->body = std::move(body);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return nullptr;
    // Below the system minimum the request is raised to it.
    std::size_t stack = stackBytes < static_cast<std::size_t>(PTHREAD_STACK_MIN)
                            ? static_cast<std::size_t>(PTHREAD_STACK_MIN)
                            : stackBytes;
    // Sanitizers need far more stack than the job itself; never go below 1 MiB.
    if (stack < (1u << 20)) stack = 1u << 20;
    pthread_attr_setstacksize(&attr, stack);
    auto arg = std::make_unique<std::shared_ptr<ThreadState>>(state);
    pthread_t id{};
    const int rc = pthread_create(&id, &attr, &ThreadEntry, arg.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) return nullptr;
    arg.release();  // the thread owns it now
    return std::make_unique<PosixThread>(id, std::move(state));
}

int PosixThreading::CurrentPriority() { return t_priority; }

void PosixThreading::SetCurrentPriority(int priority) {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    if (!t_baseKnown) {
        // No change has succeeded yet, so the thread is still at its base.
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, tid);
        if (nice == -1 && errno != 0) return;
        t_baseNice = nice;
        t_baseKnown = true;
    }
    const int target = std::clamp(t_baseNice + NiceOffsetFor(priority), -20, 19);
    // Raising needs privileges; a refused change is not an error.
    if (setpriority(PRIO_PROCESS, tid, target) == 0) t_priority = priority;
}

}  // namespace flashwire::platform::posix
