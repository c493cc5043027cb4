// An event of the job's threads on a mutex and a condition variable, with the
// auto-reset, manual-reset and pulse semantics described at platform::Event.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace flashwire::platform::posix {

class PosixEvent final : public Event {
public:
    PosixEvent(bool manualReset, bool initiallySet) : manual_(manualReset), set_(initiallySet) {}

    void Set() override;
    void Reset() override;
    void Pulse() override;
    bool Wait(uint32_t timeoutMs) override;

    // The threads inside Wait right now that no Pulse has released yet.
    std::size_t Waiting();

private:
    // One thread inside Wait; a Pulse releases exactly the waiters it finds.
    struct Waiter {
        bool released = false;
    };

    std::mutex mutex_;
    std::condition_variable cv_;
    const bool manual_;
    bool set_;
    std::vector<Waiter*> waiters_;  // in arrival order
};

}  // namespace flashwire::platform::posix
