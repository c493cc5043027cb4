// The system's COM ports: which device a port number opens ("\\.\COM<n+1>"
// unless the host mapped the number to another device name) and opening it.
#include "platform/win32/win32_api.h"

#include <memory>
#include <string>

#include "platform/win32/win32_serial_port.h"
#include "platform/win32/win32_services.h"

namespace flashwire::platform {
namespace win32 {

std::string SerialDeviceName(uint32_t portNumber) {
    std::string mapped = MappedSerialDevice(portNumber);
    if (!mapped.empty()) return mapped;
    // The device namespace's name, which also reaches COM10 and above.
    return "\\\\.\\COM" + std::to_string(portNumber + 1);
}

namespace {

class Win32SerialProvider final : public SerialProvider {
public:
    std::unique_ptr<SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override {
        if (portNumber >= kSerialPortNumbers) {
            systemError = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        const std::string name = SerialDeviceName(portNumber);
        // Read and write, not shared, an existing device only.
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            systemError = static_cast<uint32_t>(GetLastError());
            return nullptr;
        }
        auto port = std::make_unique<Win32SerialPort>(h, overlapped);
        if (!port->Init()) {
            systemError = port->LastError();
            return nullptr;
        }
        systemError = 0;
        return port;
    }
};

}  // namespace

SerialProvider& Win32SerialPorts() {
    static Win32SerialProvider ports;
    return ports;
}

}  // namespace win32
}  // namespace flashwire::platform
