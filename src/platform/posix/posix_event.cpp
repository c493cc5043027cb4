// Events on a mutex and a condition variable.
//
// A pulse marks the threads waiting at that moment (all of them, or the
// longest-waiting one for auto-reset) as released and leaves nothing behind:
// a thread that starts waiting after the pulse is not woken by it, and a
// second pulse before the released threads have run releases nobody new.
#include "platform/posix/posix_event.h"

#include <algorithm>
#include <chrono>

namespace flashwire::platform::posix {

void PosixEvent::Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    // Every waiter re-checks; for auto-reset the first to run takes the signal.
    cv_.notify_all();
}

void PosixEvent::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

void PosixEvent::Pulse() {
    std::lock_guard lock(mutex_);
    set_ = false;
    bool released = false;
    for (Waiter* w : waiters_) {
        if (w->released) continue;
        w->released = true;
        released = true;
        if (!manual_) break;
    }
    if (released) cv_.notify_all();
}

bool PosixEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    Waiter me;
    waiters_.push_back(&me);
    const auto ready = [&] { return me.released || set_; };
    bool ok = true;
    if (timeoutMs == kInfinite)
        cv_.wait(lock, ready);
    else
        ok = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &me));
    if (!ok) return false;
    // Only a waiter woken by the lasting signal takes it (auto-reset); one
    // released by a pulse leaves a signal set meanwhile for the next.
    if (!me.released && !manual_) set_ = false;
    return true;
}

std::size_t PosixEvent::Waiting() {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(waiters_.begin(), waiters_.end(), [](const Waiter* w) { return !w->released; }));
}

}  // namespace flashwire::platform::posix
