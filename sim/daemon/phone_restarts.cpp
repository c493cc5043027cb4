#include "sim/daemon/phone_restarts.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace flashwire::simd {

namespace {

// Lines this short go into a pipe whole once it reports room.
constexpr std::size_t kMaxLine = 512;

std::string Milliseconds(uint64_t us) { return std::to_string(us / 1000u) + " ms"; }

}  // namespace

void EventLines::Write(const std::string& line) {
    std::string text = line.substr(0, kMaxLine);
    if (missed_ != 0) text += " (" + std::to_string(missed_) + " earlier line(s) not written: output full)";
    text += '\n';
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
        ++missed_;
        return;
    }
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n == static_cast<ssize_t>(text.size())) {
        missed_ = 0;
    } else if (n < 0) {
        ++missed_;  // a closed reader (EPIPE) or a full one: the phone goes on
    }
}

PhoneRestarts::PhoneRestarts(sim::Phone& phone, EventLines& lines)
    : phone_(phone), lines_(lines), endByteRestartsSeen_(phone.endByteRestarts()) {}

void PhoneRestarts::PowerCycle(uint64_t nowUs) {
    phone_.PowerOn(nowUs);  // a phone that is on is reset at that time
    phone_.RunUntil(nowUs);
    const sim::PhoneConfig& c = phone_.config();
    lines_.Write("power cycle: the flash is kept, both UARTs at " + std::to_string(c.initialBaud) +
                 " baud, the boot ROM runs in " + Milliseconds(c.timing.bootDelayUs));
}

void PhoneRestarts::NoticeRestarts() {
    const uint32_t restarts = phone_.endByteRestarts();
    if (restarts == endByteRestartsSeen_) return;
    endByteRestartsSeen_ = restarts;
    lines_.Write("restart: end byte received, the flash is kept, the boot ROM runs in " +
                 Milliseconds(phone_.config().timing.bootDelayUs));
}

}  // namespace flashwire::simd
