// Serial devices on a POSIX system. The list comes from the Linux device
// tree (<sysfs>/class/tty): every tty with a device behind it, with its
// driver and, for USB adapters, what their USB descriptors say; the stable
// names from <dev>/serial/by-id. Both roots are parameters, so a test can
// give a fake tree.
#include "platform/serial_devices.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace flashwire::cli {
namespace fs = std::filesystem;
namespace {

// The first line of a small attribute file; empty when it cannot be read.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    if (line.size() > 256) line.resize(256);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// The name of the directory a link leads to ("ftdi_sio" for .../drivers/ftdi_sio).
std::string LinkName(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

bool Inside(const fs::path& path, const fs::path& root) {
    const std::string p = path.string();
    const std::string r = root.string();
    return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

// Fills what the device tree tells about the tty `name`; false when it has
// no device behind it (a virtual terminal, a pseudo-terminal).
bool FromDeviceTree(const std::string& name, const DeviceRoots& roots, SerialDeviceInfo& info) {
    std::error_code ec;
    const fs::path sysfs = fs::weakly_canonical(roots.sysfs, ec);
    const fs::path tty = sysfs / "class" / "tty" / name;
    if (!fs::exists(tty / "device", ec)) return false;
    fs::path device = fs::canonical(tty / "device", ec);
    if (ec) return false;
    // Newer kernels put "serial-base" port and controller devices between
    // the tty and the device that has the driver the user knows.
    for (int depth = 0; depth < 4 && LinkName(device / "subsystem") == "serial-base" && Inside(device.parent_path(), sysfs);
         ++depth)
        device = device.parent_path();
    // A legacy UART slot without a UART reports type 0.
    if (Attribute(tty / "type") == "0") return false;
    info.driver = LinkName(device / "driver");
    info.kind = LinkName(device / "subsystem");
    // The USB device is the nearest ancestor with a vendor ID.
    fs::path dir = device;
    for (int depth = 0; depth < 16 && Inside(dir, sysfs); ++depth, dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec)) continue;
        info.kind = "usb";
        info.vendorId = Attribute(dir / "idVendor");
        info.productId = Attribute(dir / "idProduct");
        info.serialNumber = Attribute(dir / "serial");
        info.manufacturer = Attribute(dir / "manufacturer");
        info.product = Attribute(dir / "product");
        break;
    }
    return true;
}

// The link in <dev>/serial/by-id that leads to the device `name`.
std::string ById(const std::string& name, const DeviceRoots& roots) {
    std::error_code ec;
    const fs::path dir = fs::path(roots.dev) / "serial" / "by-id";
    std::vector<std::string> links;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_symlink(ec)) continue;
        if (fs::read_symlink(it->path(), ec).filename() == name) links.push_back(it->path().string());
    }
    std::sort(links.begin(), links.end());
    return links.empty() ? std::string() : links.front();
}

}  // namespace

std::string DefaultSerialDevice(uint32_t portNumber) { return "/dev/ttyS" + std::to_string(portNumber); }

std::string SerialDeviceProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int error = errno;
        std::string text = std::strerror(error);
        if (error == ENOENT) text += " (is the adapter plugged in? flashwire ports lists the serial devices)";
        return text;
    }
    if (S_ISDIR(st.st_mode)) return "a directory, not a serial device";
    if (S_ISREG(st.st_mode)) return "a regular file, not a serial device";
    if (!S_ISCHR(st.st_mode)) return "not a serial device (not a character device)";
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        std::string text = std::strerror(error);
        if (error == EACCES || error == EPERM) {
            const struct group* owner = ::getgrgid(st.st_gid);
            const std::string group = owner && owner->gr_name ? owner->gr_name : std::to_string(st.st_gid);
            if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
                text += ": the members of the group " + group + " may use it; add your user to it (sudo usermod -aG " +
                        group + " $USER) and log in again";
            else
                text += ": only its owner may use it (on most Linux systems serial devices belong to the group "
                        "dialout; a udev rule can give it to that group)";
        } else if (error == EBUSY) {
            text += ": another program has the port open";
        }
        return text;
    }
    const bool terminal = ::isatty(fd) != 0;
    ::close(fd);
    return terminal ? std::string() : "not a serial device (not a terminal)";
}

std::vector<SerialDeviceInfo> ListSerialDevices(const DeviceRoots& roots) {
    std::vector<SerialDeviceInfo> list;
    std::error_code ec;
    const fs::path classTty = fs::path(roots.sysfs) / "class" / "tty";
    for (fs::directory_iterator it(classTty, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        SerialDeviceInfo info;
        if (!FromDeviceTree(name, roots, info)) continue;
        info.device = (fs::path(roots.dev) / name).string();
        info.byId = ById(name, roots);
        list.push_back(std::move(info));
        if (list.size() >= 1024) break;
    }
    std::sort(list.begin(), list.end(),
              [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) { return a.device < b.device; });
    return list;
}

SerialDeviceInfo DescribeSerialDevice(const std::string& path, const DeviceRoots& roots) {
    SerialDeviceInfo info;
    info.device = path;
    std::error_code ec;
    const fs::path target = fs::canonical(path, ec);
    std::error_code linkError;
    if (!ec && fs::is_symlink(path, linkError)) info.target = target.string();
    const fs::path real = ec ? fs::path(path) : target;
    const std::string name = real.filename().string();
    if (!FromDeviceTree(name, roots, info) && real.parent_path().filename() == "pts") info.kind = "pseudo-terminal";
    info.byId = ById(name, roots);
    info.problem = SerialDeviceProblem(path);
    return info;
}

}  // namespace flashwire::cli
