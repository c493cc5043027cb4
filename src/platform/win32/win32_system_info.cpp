// The host executable's path and the operating system's version.
#include "platform/win32/win32_api.h"

#include <cstdio>
#include <cstring>

#include "platform/win32/win32_services.h"

namespace flashwire::platform::win32 {

std::string Win32SystemInfo::ExecutablePath() {
    // The module of the process (null), not this library's own.
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    // n == MAX_PATH: the name was cut; a cut path names no directory.
    if (n == 0 || n >= MAX_PATH) return {};
    return std::string(path, n);
}

OsVersion Win32SystemInfo::GetOsVersion() {
    OsVersion v;
    // The extended record first, then the basic one (older systems know only it).
    OSVERSIONINFOEXA extended{};
    extended.dwOSVersionInfoSize = sizeof extended;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    bool ok = GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended)) != FALSE;
    OSVERSIONINFOA basic{};
    if (!ok) {
        basic.dwOSVersionInfoSize = sizeof basic;
        ok = GetVersionExA(&basic) != FALSE;
    } else {
        std::memcpy(&basic, &extended, sizeof basic);
    }
#pragma GCC diagnostic pop
    if (!ok) {
        // Unreadable: counted as an old system (plain I/O, one port).
        v.ntFamily = false;
        return v;
    }
    v.known = true;
    v.ntFamily = basic.dwPlatformId == VER_PLATFORM_WIN32_NT;
    v.major = basic.dwMajorVersion;
    v.minor = basic.dwMinorVersion;
    char text[64];
    std::snprintf(text, sizeof text, "Windows %lu.%lu.%lu", static_cast<unsigned long>(basic.dwMajorVersion),
                  static_cast<unsigned long>(basic.dwMinorVersion), static_cast<unsigned long>(basic.dwBuildNumber));
    v.release = text;
    return v;
}

}  // namespace flashwire::platform::win32
