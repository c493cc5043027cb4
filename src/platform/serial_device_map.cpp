// Which device each port number opens: the system's default device unless
// the host mapped the number to another device. The table is shared by the
// whole process; each system's serial layer names its default device.
#include <array>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace flashwire::platform {
namespace {

struct DeviceMap {
    std::mutex mutex;
    std::array<std::string, kSerialPortNumbers> devices;  // empty: the default device
};

DeviceMap& Map() {
    static DeviceMap map;
    return map;
}

}  // namespace

bool MapSerialDevice(uint32_t portNumber, const char* devicePath) {
    if (portNumber >= kSerialPortNumbers) return false;
    std::string device;
    if (devicePath != nullptr) {
        const std::size_t length = strnlen(devicePath, kMaxSerialDevicePath + 1);
        if (length == 0 || length > kMaxSerialDevicePath) return false;
        device.assign(devicePath, length);
    }
    DeviceMap& map = Map();
    std::lock_guard lock(map.mutex);
    map.devices[portNumber] = std::move(device);
    return true;
}

std::string MappedSerialDevice(uint32_t portNumber) {
    if (portNumber >= kSerialPortNumbers) return {};
    DeviceMap& map = Map();
    std::lock_guard lock(map.mutex);
    return map.devices[portNumber];
}

}  // namespace flashwire::platform
