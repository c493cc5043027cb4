// The executable's path and the operating system's version.
#include "platform/posix/posix_services.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

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
    unsigned major = 0, minor = 0;
    if (std::sscanf(u.release, "%u.%u", &major, &minor) >= 1) {
        v.known = true;
        v.major = major;
        v.minor = minor;
    }
    // Every POSIX system has what the multi-port transfer needs.
    v.ntFamily = true;
    return v;
}

}  // namespace flashwire::platform::posix
