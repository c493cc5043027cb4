// Millisecond ticks since the system started, and sleeping.
#include "platform/win32/win32_api.h"

#include "platform/win32/win32_services.h"

namespace flashwire::platform::win32 {

uint32_t TickClock::Ticks() { return static_cast<uint32_t>(GetTickCount()); }

void TickClock::Sleep(uint32_t ms) { ::Sleep(ms); }

}  // namespace flashwire::platform::win32
