// The executable's path and the operating system's version.
#include "platform/posix/posix_services.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace flashwire::platform::posix {

std::string PosixSystemInfo::ExecutablePath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<std::size_t>(n));
}

OsVersion PosixSystemInfo::GetOsVersion() {
    OsVersion v;
    utsname u{};
    if (uname(&u) != 0) return v;
    // Every POSIX system has what the multi-port transfer needs, whatever
    // its release looks like.
    v.known = true;
    v.ntFamily = true;
    unsigned major = 0, minor = 0;
    if (std::sscanf(u.release, "%u.%u", &major, &minor) >= 1) {
        v.major = major;
        v.minor = minor;
    }
    // The fields are NUL-terminated within their arrays.
    v.release = std::string(u.sysname, strnlen(u.sysname, sizeof u.sysname));
    const std::size_t release = strnlen(u.release, sizeof u.release);
    if (release > 0) v.release.append(" ").append(u.release, release);
    return v;
}

}  // namespace flashwire::platform::posix
