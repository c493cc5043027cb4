// Threads and events that run one at a time on virtual time.
#include "sim/virtual_threads.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "sim/fault_config.h"

namespace flashwire::sim {

struct VirtualThreads::EventState {
    bool manualReset = false;
    bool set = false;
    std::deque<Task*> waiters;  // in the order they began to wait
};

struct VirtualThreads::Task {
    bool started = false;  // a thread of StartThread (else a thread that called in)
    std::thread::id os;
    std::thread thread;
    std::function<uint32_t()> body;
    bool done = false;
    uint32_t exitCode = 0;
    int priority = platform::kPriorityNormal;

    // What it waits for (waiting == true).
    bool waiting = false;
    uint64_t deadlineUs = kNever;
    uint64_t waitOrder = 0;
    EventState* event = nullptr;
    Task* joining = nullptr;
    bool signalled = false;  // the last wait ended by its event or join, not by time
};

namespace {
thread_local VirtualThreads* t_owner = nullptr;
thread_local VirtualThreads::Task* t_task = nullptr;
}  // namespace

class VirtualThreads::EventImpl final : public platform::Event {
public:
    EventImpl(VirtualThreads& owner, bool manualReset, bool initiallySet) : owner_(owner) {
        state_.manualReset = manualReset;
        state_.set = initiallySet;
    }
    ~EventImpl() override {
        // A waiter left behind can only end by its time-out.
        std::lock_guard lock(owner_.mutex_);
        for (Task* t : state_.waiters) t->event = nullptr;
    }
    void Set() override {
        std::lock_guard lock(owner_.mutex_);
        if (state_.manualReset) {
            state_.set = true;
            Release(state_.waiters.size());
        } else if (!state_.waiters.empty()) {
            Release(1);
        } else {
            state_.set = true;
        }
    }
    void Reset() override {
        std::lock_guard lock(owner_.mutex_);
        state_.set = false;
    }
    void Pulse() override {
        std::lock_guard lock(owner_.mutex_);
        Release(state_.manualReset ? state_.waiters.size() : std::min<std::size_t>(1, state_.waiters.size()));
        state_.set = false;
    }
    bool Wait(uint32_t timeoutMs) override {
        std::unique_lock lock(owner_.mutex_);
        Task* self = owner_.Enter(lock);
        if (state_.set) {
            if (!state_.manualReset) state_.set = false;
            return true;
        }
        if (timeoutMs == 0) return false;
        const uint64_t now = owner_.time_.NowUs();
        if (!owner_.Busy()) {
            // Nobody could set it: the wait runs out.
            if (timeoutMs == platform::kInfinite) owner_.Deadlock();
            owner_.Advance(lock, now + uint64_t{timeoutMs} * 1000);
            return false;
        }
        self->event = &state_;
        state_.waiters.push_back(self);
        owner_.Block(lock, self, timeoutMs == platform::kInfinite ? kNever : now + uint64_t{timeoutMs} * 1000);
        return self->signalled;
    }

private:
    void Release(std::size_t n) {
        for (; n > 0 && !state_.waiters.empty(); --n) {
            Task* t = state_.waiters.front();
            state_.waiters.pop_front();
            t->event = nullptr;
            owner_.MakeReady(t, true);
        }
    }

    VirtualThreads& owner_;
    EventState state_;
};

class VirtualThreads::ThreadImpl final : public platform::Thread {
public:
    ThreadImpl(VirtualThreads& owner, Task* task) : owner_(owner), task_(task) {}
    // Destroying the handle leaves the thread running (detached).
    bool Join(uint32_t timeoutMs) override {
        std::unique_lock lock(owner_.mutex_);
        Task* self = owner_.Enter(lock);
        if (task_->done) return true;
        if (timeoutMs == 0) return false;
        if (self == task_) owner_.Deadlock();  // joining itself
        self->joining = task_;
        const uint64_t now = owner_.time_.NowUs();
        owner_.Block(lock, self, timeoutMs == platform::kInfinite ? kNever : now + uint64_t{timeoutMs} * 1000);
        return task_->done;
    }
    uint32_t ExitCode() const override {
        std::lock_guard lock(owner_.mutex_);
        return task_->exitCode;
    }

private:
    VirtualThreads& owner_;
    Task* task_;
};

VirtualThreads::VirtualThreads(VirtualTime& time) : time_(time) {}

VirtualThreads::~VirtualThreads() {
    {
        std::unique_lock lock(mutex_);
        while (Busy()) {
            Task* self = Enter(lock);
            for (const auto& t : tasks_)
                if (t->started && !t->done) {
                    self->joining = t.get();
                    break;
                }
            Block(lock, self, kNever);
        }
        current_ = nullptr;
    }
    for (const auto& t : tasks_)
        if (t->thread.joinable()) t->thread.join();
}

std::unique_ptr<platform::Event> VirtualThreads::CreateEvent(bool manualReset, bool initiallySet) {
    return std::make_unique<EventImpl>(*this, manualReset, initiallySet);
}

std::unique_ptr<platform::Thread> VirtualThreads::StartThread(std::size_t, std::function<uint32_t()> body) {
    std::unique_lock lock(mutex_);
    const bool idle = !Busy();
    Task* caller = Enter(lock);
    if (idle) current_ = caller;  // from here on threads take turns
    auto task = std::make_unique<Task>();
    Task* raw = task.get();
    raw->started = true;
    raw->body = std::move(body);
    tasks_.push_back(std::move(task));
    ++live_;
    ready_.push_back(raw);
    try {
        raw->thread = std::thread([this, raw] { Run(raw); });
    } catch (const std::system_error&) {
        ready_.pop_back();
        raw->done = true;
        --live_;
        return nullptr;
    }
    return std::make_unique<ThreadImpl>(*this, raw);
}

int VirtualThreads::CurrentPriority() {
    std::lock_guard lock(mutex_);
    Task* self = Find();
    return self ? self->priority : platform::kPriorityNormal;
}

void VirtualThreads::SetCurrentPriority(int priority) {
    std::unique_lock lock(mutex_);
    Enter(lock)->priority = priority;
}

void VirtualThreads::Sleep(uint32_t ms) {
    std::unique_lock lock(mutex_);
    Task* self = Enter(lock);
    const uint64_t until = time_.NowUs() + uint64_t{ms} * 1000;
    if (!Busy()) {
        if (ms > 0) Advance(lock, until);
        return;
    }
    Block(lock, self, until);  // a sleep of 0 lets the ready threads go first
}

void VirtualThreads::RunOthersUntil(uint64_t us) {
    std::unique_lock lock(mutex_);
    if (!Busy()) return;
    Task* self = Enter(lock);
    for (;;) {
        WakeDue(time_.NowUs());
        if (!ready_.empty()) {
            ready_.push_back(self);
            Switch(lock, self);
            continue;
        }
        const uint64_t next = EarliestDeadline();
        if (next > us) return;
        Advance(lock, next);
    }
}

std::size_t VirtualThreads::LiveThreads() {
    std::lock_guard lock(mutex_);
    return live_;
}

VirtualThreads::Task* VirtualThreads::Find() {
    if (t_owner == this) return t_task;
    const std::thread::id me = std::this_thread::get_id();
    for (const auto& t : tasks_)
        if (!t->started && t->os == me) return t.get();
    return nullptr;
}

VirtualThreads::Task* VirtualThreads::Enter(std::unique_lock<std::mutex>& lock) {
    Task* self = Find();
    if (!self) {
        auto task = std::make_unique<Task>();
        task->os = std::this_thread::get_id();
        self = task.get();
        tasks_.push_back(std::move(task));
    }
    if (!Busy() || current_ == self) return self;
    if (current_ == nullptr) {
        current_ = self;
        return self;
    }
    // Another thread has the turn: wait in line.
    if (std::find(ready_.begin(), ready_.end(), self) == ready_.end()) ready_.push_back(self);
    turn_.wait(lock, [&] { return current_ == self; });
    return self;
}

void VirtualThreads::Block(std::unique_lock<std::mutex>& lock, Task* self, uint64_t deadlineUs) {
    self->waiting = true;
    self->signalled = false;
    self->deadlineUs = deadlineUs;
    self->waitOrder = ++waits_;
    Switch(lock, self);
}

void VirtualThreads::MakeReady(Task* task, bool signalled) {
    if (task->event) {
        auto& w = task->event->waiters;
        w.erase(std::remove(w.begin(), w.end(), task), w.end());
        task->event = nullptr;
    }
    task->joining = nullptr;
    task->waiting = false;
    task->signalled = signalled;
    task->deadlineUs = kNever;
    ready_.push_back(task);
}

void VirtualThreads::WakeDue(uint64_t now) {
    std::vector<Task*> due;
    for (const auto& t : tasks_)
        if (t->waiting && t->deadlineUs <= now) due.push_back(t.get());
    std::sort(due.begin(), due.end(), [](const Task* a, const Task* b) {
        return a->deadlineUs != b->deadlineUs ? a->deadlineUs < b->deadlineUs : a->waitOrder < b->waitOrder;
    });
    for (Task* t : due) MakeReady(t, false);
}

uint64_t VirtualThreads::EarliestDeadline() const {
    uint64_t next = kNever;
    for (const auto& t : tasks_)
        if (t->waiting) next = std::min(next, t->deadlineUs);
    return next;
}

void VirtualThreads::Advance(std::unique_lock<std::mutex>& lock, uint64_t us) {
    if (us <= time_.NowUs()) return;
    // The time's owner takes its own lock; no other thread runs meanwhile.
    lock.unlock();
    time_.AdvanceToUs(us);
    lock.lock();
}

void VirtualThreads::Switch(std::unique_lock<std::mutex>& lock, Task* self) {
    for (;;) {
        WakeDue(time_.NowUs());
        if (!ready_.empty()) break;
        const uint64_t next = EarliestDeadline();
        if (next == kNever) {
            if (self->done && std::none_of(tasks_.begin(), tasks_.end(), [](const auto& t) { return t->waiting; })) {
                current_ = nullptr;  // the last thread ended; nobody waits
                turn_.notify_all();
                return;
            }
            Deadlock();
        }
        Advance(lock, next);
    }
    Task* next = ready_.front();
    ready_.pop_front();
    current_ = next;
    turn_.notify_all();
    if (self->done) return;
    turn_.wait(lock, [&] { return current_ == self; });
}

void VirtualThreads::Deadlock() {
    std::fprintf(stderr,
                 "virtual threads: every thread waits without a time limit at %llu us; the run can never end\n",
                 static_cast<unsigned long long>(time_.NowUs()));
    std::abort();
}

void VirtualThreads::Run(Task* task) {
    {
        std::unique_lock lock(mutex_);
        task->os = std::this_thread::get_id();
        turn_.wait(lock, [&] { return current_ == task; });
    }
    t_owner = this;
    t_task = task;
    const uint32_t code = task->body();
    task->body = nullptr;  // what it holds is released when it ends
    std::unique_lock lock(mutex_);
    task->exitCode = code;
    task->done = true;
    --live_;
    for (const auto& t : tasks_)
        if (t->waiting && t->joining == task) MakeReady(t.get(), true);
    Switch(lock, task);
}

}  // namespace flashwire::sim
