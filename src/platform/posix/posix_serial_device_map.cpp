// Which device each port number opens: /dev/ttyS<n> unless the host mapped
// the number to another device path. The table is shared by the whole process.
#include <array>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/posix_serial_port.h"

namespace flashwire::platform {
namespace {

struct DeviceMap {
    std::mutex mutex;
    std::array<std::string, kSerialPortNumbers> paths;  // empty: the default device
};

DeviceMap& Map() {
    static DeviceMap map;
    return map;
}

}  // namespace

bool MapSerialDevice(uint32_t portNumber, const char* devicePath) {
    if (portNumber >= kSerialPortNumbers) return false;
    std::string path;
    if (devicePath != nullptr) {
        const std::size_t length = strnlen(devicePath, kMaxSerialDevicePath + 1);
        if (length == 0 || length > kMaxSerialDevicePath) return false;
        path.assign(devicePath, length);
    }
    DeviceMap& map = Map();
    std::lock_guard lock(map.mutex);
    map.paths[portNumber] = std::move(path);
    return true;
}

namespace posix {

std::string SerialDevicePath(uint32_t portNumber) {
    if (portNumber < kSerialPortNumbers) {
        DeviceMap& map = Map();
        std::lock_guard lock(map.mutex);
        if (!map.paths[portNumber].empty()) return map.paths[portNumber];
    }
    return "/dev/ttyS" + std::to_string(portNumber);
}

}  // namespace posix
}  // namespace flashwire::platform
