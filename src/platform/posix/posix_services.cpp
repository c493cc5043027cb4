// The services the library uses on a POSIX system.
#include "platform/posix/posix_services.h"

namespace flashwire::platform {

Services& SystemServices() {
    static posix::MonotonicClock clock;
    static posix::PosixThreading threading;
    static posix::PosixSystemInfo system;
    static Services services{&clock, &threading, &posix::PosixSerialPorts(), &system, &StandardFiles()};
    return services;
}

}  // namespace flashwire::platform
