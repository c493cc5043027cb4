// Events, threads and thread priorities on KERNEL32.
//
// A thread that does not end when its owner gives up waiting is never
// ended by force (TerminateThread): it may be inside the host's callback or
// hold the heap's lock, and killing it there could hang the whole process.
// It is detached instead, exactly as on the other systems; the job keeps what
// it still touches alive (see ThreadProtocol).
#include "platform/win32/win32_api.h"

#include <memory>
#include <utility>

#include "platform/win32/win32_services.h"

namespace flashwire::platform::win32 {
namespace {

// The handle of an event or a thread, closed with its owner.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE h = nullptr) : h_(h) {}
    ~OwnedHandle() {
        if (h_) CloseHandle(h_);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

DWORD WaitMs(uint32_t timeoutMs) { return timeoutMs == kInfinite ? INFINITE : static_cast<DWORD>(timeoutMs); }

class Win32Event final : public Event {
public:
    explicit Win32Event(HANDLE h) : h_(h) {}
    void Set() override { SetEvent(h_.get()); }
    void Reset() override { ResetEvent(h_.get()); }
    // Releases the threads waiting right now, as the job's dispatcher expects;
    // a waiter that misses a pulse wakes at its own time-out.
    void Pulse() override { PulseEvent(h_.get()); }
    bool Wait(uint32_t timeoutMs) override { return WaitForSingleObject(h_.get(), WaitMs(timeoutMs)) == WAIT_OBJECT_0; }

private:
    OwnedHandle h_;
};

// The body travels to the new thread on the heap; the thread owns it.
struct ThreadStart {
    std::function<uint32_t()> body;
};

DWORD WINAPI ThreadEntry(LPVOID arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    return static_cast<DWORD>(start->body());
}

class Win32Thread final : public Thread {
public:
    explicit Win32Thread(HANDLE h) : h_(h) {}
    // Closing the handle of a thread that still runs leaves it running
    // (detached); it ends on its own.
    bool Join(uint32_t timeoutMs) override {
        return WaitForSingleObject(h_.get(), WaitMs(timeoutMs)) == WAIT_OBJECT_0;
    }
    uint32_t ExitCode() const override {
        DWORD code = 0;
        if (!GetExitCodeThread(h_.get(), &code)) return 0;
        return static_cast<uint32_t>(code);
    }

private:
    OwnedHandle h_;
};

int SystemPriorityFor(int priority) {
    if (priority >= kPriorityTimeCritical) return THREAD_PRIORITY_TIME_CRITICAL;
    if (priority >= kPriorityHighest) return THREAD_PRIORITY_HIGHEST;
    if (priority > 0) return THREAD_PRIORITY_ABOVE_NORMAL;
    if (priority < 0) return THREAD_PRIORITY_BELOW_NORMAL;
    return THREAD_PRIORITY_NORMAL;
}

}  // namespace

std::unique_ptr<Event> Win32Threading::CreateEvent(bool manualReset, bool initiallySet) {
    HANDLE h = CreateEventA(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
    if (!h) return nullptr;
    return std::make_unique<Win32Event>(h);
}

std::unique_ptr<Thread> Win32Threading::StartThread(std::size_t stackBytes, std::function<uint32_t()> body) {
    auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(body)});
    // The size is what the thread commits at its start; the system rounds it
    // up to its page and allocation granularity.
    const SIZE_T stack = static_cast<SIZE_T>(stackBytes);
    HANDLE h = CreateThread(nullptr, stack, &ThreadEntry, start.get(), 0, nullptr);
    if (!h) return nullptr;
    start.release();  // the thread owns it now
    return std::make_unique<Win32Thread>(h);
}

int Win32Threading::CurrentPriority() {
    switch (GetThreadPriority(GetCurrentThread())) {
        case THREAD_PRIORITY_TIME_CRITICAL: return kPriorityTimeCritical;
        case THREAD_PRIORITY_HIGHEST: return kPriorityHighest;
        case THREAD_PRIORITY_ABOVE_NORMAL: return 1;
        case THREAD_PRIORITY_BELOW_NORMAL: return -1;
        case THREAD_PRIORITY_LOWEST: return -2;
        default: return kPriorityNormal;
    }
}

void Win32Threading::SetCurrentPriority(int priority) {
    // A refused change is not an error.
    SetThreadPriority(GetCurrentThread(), SystemPriorityFor(priority));
}

}  // namespace flashwire::platform::win32
