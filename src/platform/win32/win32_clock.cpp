// Millisecond ticks since the system started, and sleeping.
#include "platform/win32/win32_api.h"

#include "platform/win32/win32_services.h"

namespace flashwire::platform::win32 {

uint32_t TickClock::Ticks() { return static_cast<uint32_t>(GetTickCount()); }

void TickClock::Sleep(uint32_t ms) { ::Sleep(ms); }

uint64_t TickClock::Microseconds() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER count{};
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&count))
        return static_cast<uint64_t>(GetTickCount()) * 1000u;
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    return c / f * 1000000u + c % f * 1000000u / f;
}

}  // namespace flashwire::platform::win32
