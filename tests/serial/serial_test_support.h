// Helpers of the serial tests on POSIX: a pseudo-terminal pair, port numbers
// mapped to it and a port opened on it; with the portable ones of
// serial_test_host.h.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flashwire/flash_api.h"
#include "job/context.h"
#include "platform/platform.h"
#include "platform/posix/posix_services.h"
#include "serial_test_host.h"

namespace serial_test {

// A pseudo-terminal: the test holds the master, the library opens the slave
// through its device path.
class PtyPair {
public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name != nullptr) slavePath_ = name;
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    // The slave's line settings as the master sees them.
    termios Settings() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }

    bool Send(const std::vector<uint8_t>& data) const {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(master_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
        }
        return true;
    }

    // Collects up to count bytes, waiting at most timeoutMs in all.
    std::vector<uint8_t> Receive(std::size_t count, int timeoutMs) const {
        std::vector<uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t buf[4096];
        while (out.size() < count) {
            const ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left));
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

// Maps a port number to a device path for one test and restores the default
// device afterwards.
class MappedPort {
public:
    MappedPort(uint32_t number, const std::string& path) : number_(number) {
        EXPECT_EQ(FlashMapPort(number, path.c_str()), SUCCESS) << path;
    }
    ~MappedPort() { FlashMapPort(number_, nullptr); }
    MappedPort(const MappedPort&) = delete;
    MappedPort& operator=(const MappedPort&) = delete;

private:
    uint32_t number_;
};

// A pseudo-terminal whose slave is mapped to a port number and opened through
// the system's serial ports at the given rate. ok() tells whether all of that
// worked; each failing step is reported as a test failure.
struct PtyPort {
    PtyPair pty;
    MappedPort map;
    std::unique_ptr<flashwire::platform::SerialPort> port;

    PtyPort(uint32_t number, uint32_t baud) : map(number, pty.slavePath()) {
        if (!pty.ok()) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        uint32_t error = 0;
        port = flashwire::platform::posix::PosixSerialPorts().Open(number, true, error);
        if (port == nullptr) {
            ADD_FAILURE() << "cannot open " << pty.slavePath() << ": errno " << error;
            return;
        }
        flashwire::platform::LineSettings settings;
        settings.baud = baud;
        if (!port->SetSettings(settings)) {
            ADD_FAILURE() << "cannot set " << baud << " baud: errno " << port->LastError();
            port.reset();
        }
    }
    bool ok() const { return port != nullptr; }
};

}  // namespace serial_test
