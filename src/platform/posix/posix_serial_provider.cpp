// The system's serial ports: opening a port by number. Streams on several
// ports at once go through the ports' own write steps
// (SerialProvider::WriteConcurrently).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix_serial_port.h"
#include "platform/posix/posix_services.h"

namespace flashwire::platform::posix {

std::string SerialDevicePath(uint32_t portNumber) {
    std::string mapped = MappedSerialDevice(portNumber);
    return mapped.empty() ? "/dev/ttyS" + std::to_string(portNumber) : mapped;
}

namespace {

class PosixSerialProvider final : public SerialProvider {
public:
    std::unique_ptr<SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override;
};

std::unique_ptr<SerialPort> PosixSerialProvider::Open(uint32_t portNumber, bool /*overlapped*/,
                                                      uint32_t& systemError) {
    // Every descriptor is non-blocking and every wait bounded, so the
    // overlapped and the plain mode behave alike here.
    if (portNumber >= kSerialPortNumbers) {
        systemError = ENODEV;
        return nullptr;
    }
    const std::string path = SerialDevicePath(portNumber);
    // O_NONBLOCK keeps the open itself from waiting for a carrier.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        systemError = static_cast<uint32_t>(errno);
        return nullptr;
    }
    if (!isatty(fd)) {
        close(fd);
        systemError = ENOTTY;
        return nullptr;
    }
    // Nobody else may open the port while we hold it (pseudo-terminals may
    // refuse the request; then the port is simply not exclusive).
    ioctl(fd, TIOCEXCL);
    systemError = 0;
    return std::make_unique<PosixSerialPort>(fd);
}

}  // namespace

SerialProvider& PosixSerialPorts() {
    static PosixSerialProvider ports;
    return ports;
}

}  // namespace flashwire::platform::posix
