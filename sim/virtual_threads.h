// Threads and events on virtual time, for whole jobs in the simulation.
//
// The job's threads (and the host thread that waits for them) are real
// threads of the system, but they run one at a time: a thread runs until it
// waits (an event, a join, a sleep) or until virtual time is about to move
// past the moment another thread's wait ends; then the next thread in line
// runs. When every thread waits, virtual time jumps to the earliest end of a
// wait. So every wait settles in virtual time (a 10 s time-out costs no real
// time), and a run depends on nothing but its inputs: the same scenario gives
// the same interleaving, the same bytes on the wire at the same virtual times
// and the same order of callbacks, run after run.
//
// Order: a thread that becomes ready goes to the back of the line; threads
// whose waits end at the same time become ready in the order they began to
// wait. Setting an event never switches threads: the woken waiter runs when
// the setter waits next.
//
// The first thread that starts a thread takes part as well (the host's
// thread in FlashLoad); any other thread that calls in while threads run
// waits for its turn. While no started thread is alive, calls return at once
// (a sleep or a timed wait just moves time on).
//
// A state in which every thread waits without a time limit can never end:
// it is reported on stderr and the process stops (a hang in a simulated run
// is a defect to see, not to wait out).
//
// Threads must not block on anything but these events, joins, sleeps and the
// virtual time's own advance (for example on a lock held by a thread that
// waits here): the other threads do not run meanwhile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace flashwire::sim {

// The virtual time the threads live on.
class VirtualTime {
public:
    virtual ~VirtualTime() = default;
    virtual uint64_t NowUs() = 0;
    // Moves time to us (later than now), running what the time drives. Must
    // not call back into VirtualThreads.
    virtual void AdvanceToUs(uint64_t us) = 0;
};

class VirtualThreads final : public platform::Threading {
public:
    explicit VirtualThreads(VirtualTime& time);
    // Lets every thread still alive run to its end (time moves as needed).
    ~VirtualThreads() override;
    VirtualThreads(const VirtualThreads&) = delete;
    VirtualThreads& operator=(const VirtualThreads&) = delete;

    std::unique_ptr<platform::Event> CreateEvent(bool manualReset, bool initiallySet) override;
    // The stack size is not applied: the simulation's threads get the
    // system's default stack, which is larger.
    std::unique_ptr<platform::Thread> StartThread(std::size_t stackBytes, std::function<uint32_t()> body) override;
    int CurrentPriority() override;
    void SetCurrentPriority(int priority) override;

    // The calling thread waits ms of virtual time; the others run meanwhile.
    void Sleep(uint32_t ms);
    // Called by the virtual time's owner before time moves to us on behalf of
    // the running thread: every other thread that is ready, or whose wait
    // ends by us, runs first, each at its own time.
    void RunOthersUntil(uint64_t us);

    // Threads started and not yet ended.
    std::size_t LiveThreads();

    struct Task;
    struct EventState;

private:
    class EventImpl;
    class ThreadImpl;
    friend class EventImpl;
    friend class ThreadImpl;

    Task* Enter(std::unique_lock<std::mutex>& lock);
    Task* Find();
    bool Busy() const { return live_ > 0; }
    // The calling task has set its own state (waiting, ready or ended): hands
    // the turn to the next ready task, moving time when none is, and returns
    // when it is the caller's turn again (at once for an ended task).
    void Switch(std::unique_lock<std::mutex>& lock, Task* self);
    void Block(std::unique_lock<std::mutex>& lock, Task* self, uint64_t deadlineUs);
    void MakeReady(Task* task, bool signalled);
    void WakeDue(uint64_t now);
    uint64_t EarliestDeadline() const;
    void Advance(std::unique_lock<std::mutex>& lock, uint64_t us);
    [[noreturn]] void Deadlock();
    void Run(Task* task);

    VirtualTime& time_;
    std::mutex mutex_;
    std::condition_variable turn_;
    Task* current_ = nullptr;
    std::deque<Task*> ready_;
    std::vector<std::unique_ptr<Task>> tasks_;  // in the order they were made
    std::size_t live_ = 0;
    uint64_t waits_ = 0;
};

}  // namespace flashwire::sim
