// What the command line learns about serial devices from the system: the
// device a port number opens by default, why a device cannot be opened, and
// the serial devices of the machine. One implementation per system
// (tools/platform/<system>/serial_devices.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flashwire::cli {

// The device a zero-based port number opens when no --port maps it.
std::string DefaultSerialDevice(uint32_t portNumber);

// Why the device cannot serve as a serial port, in words with the remedy
// ("No such file or directory", a permission error with the group to join,
// "a directory, not a serial device", ...); empty when it opens as one.
std::string SerialDeviceProblem(const std::string& path);

// One serial device and what tells it apart from the others.
struct SerialDeviceInfo {
    std::string device;        // the path a --port takes (/dev/ttyUSB0, COM3)
    std::string target;        // where a link given by the user leads; empty if none
    std::string kind;          // "usb", "platform", "pnp", "pseudo-terminal", ...
    std::string driver;        // the kernel driver (ftdi_sio, cdc_acm, serial8250)
    std::string vendorId;      // USB vendor and product, four hexadecimal digits each
    std::string productId;
    std::string serialNumber;
    std::string manufacturer;
    std::string product;
    std::string byId;          // the stable link in <dev>/serial/by-id, if any
    std::string problem;       // SerialDeviceProblem for devices asked about
};

// Where the system's device tree and device directory are (tests give a
// fake tree).
struct DeviceRoots {
    std::string sysfs = "/sys";
    std::string dev = "/dev";
};

// The serial devices of the machine, sorted by device path.
std::vector<SerialDeviceInfo> ListSerialDevices(const DeviceRoots& roots);

// What is known about one device given by the user (a link is followed).
SerialDeviceInfo DescribeSerialDevice(const std::string& path, const DeviceRoots& roots);

}  // namespace flashwire::cli
