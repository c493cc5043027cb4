// The services the library uses on Windows.
#include "platform/win32/win32_services.h"

namespace flashwire::platform {

Services& SystemServices() {
    static win32::TickClock clock;
    static win32::Win32Threading threading;
    static win32::Win32SystemInfo system;
    static Services services{&clock, &threading, &win32::Win32SerialPorts(), &system, &StandardFiles()};
    return services;
}

}  // namespace flashwire::platform
