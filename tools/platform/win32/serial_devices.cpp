// Serial devices on Windows: the COM ports the system knows, from its DOS
// device names (QueryDosDevice).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/serial_devices.h"

namespace flashwire::cli {
namespace {

// "COM12" sorts after "COM2".
unsigned PortNumber(const std::string& name) { return static_cast<unsigned>(std::atoi(name.c_str() + 3)); }

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                   text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "system error " + std::to_string(error) : message;
}

}  // namespace

std::string DefaultSerialDevice(uint32_t portNumber) { return "\\\\.\\COM" + std::to_string(portNumber + 1); }

std::string SerialDeviceProblem(const std::string& path) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        std::string text = SystemMessage(error);
        if (error == ERROR_ACCESS_DENIED) text += ": another program has the port open";
        if (error == ERROR_FILE_NOT_FOUND) text += " (flashwire ports lists the COM ports)";
        return text;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const bool serial = GetCommState(h, &dcb) != FALSE;
    CloseHandle(h);
    return serial ? std::string() : "not a serial device";
}

std::vector<SerialDeviceInfo> ListSerialDevices(const DeviceRoots&) {
    std::vector<SerialDeviceInfo> list;
    // The names of every DOS device, NUL-separated; the buffer grows (bounded)
    // until they fit.
    std::vector<char> names(64 * 1024);
    DWORD n = 0;
    while ((n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < 4 * 1024 * 1024)
        names.resize(names.size() * 2);
    for (const char* p = names.data(); n > 0 && p < names.data() + n && *p; p += std::strlen(p) + 1) {
        const std::string name(p);
        if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0 || PortNumber(name) == 0) continue;
        SerialDeviceInfo info;
        info.device = name;
        char target[512] = {};
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) info.target = target;
        info.kind = "com";
        list.push_back(std::move(info));
    }
    std::sort(list.begin(), list.end(), [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) {
        return PortNumber(a.device) < PortNumber(b.device);
    });
    return list;
}

SerialDeviceInfo DescribeSerialDevice(const std::string& path, const DeviceRoots&) {
    SerialDeviceInfo info;
    info.device = path;
    info.kind = "com";
    info.problem = SerialDeviceProblem(path);
    return info;
}

}  // namespace flashwire::cli
