// A PC serial port on the virtual line: writes at the PC's rate, reads that
// advance the virtual clock as the time-outs say.
#include <algorithm>
#include <cerrno>

#include "sim/link_core.h"

namespace flashwire::sim {
namespace {
constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
}

VirtualSerialPort::VirtualSerialPort(LinkCore& core, uint32_t portNumber, unsigned uart)
    : core_(core), portNumber_(portNumber), uart_(uart) {
    // What the phone sent before the port was open is lost.
    core_.phone.TakeOutput(uart_, core_.Now(), settings_.baud);
}

VirtualSerialPort::~VirtualSerialPort() {
    std::lock_guard lock(core_.mutex);
    // A write still under way is cut off: its remaining bytes never leave.
    core_.EndHostWrite(this);
    core_.openPorts.erase(portNumber_);
}

bool VirtualSerialPort::GetSettings(platform::LineSettings& out) {
    std::lock_guard lock(core_.mutex);
    out = settings_;
    return true;
}

bool VirtualSerialPort::SetSettings(const platform::LineSettings& settings) {
    std::lock_guard lock(core_.mutex);
    if (!core_.RateAccepted(settings.baud) || settings.dataBits != 8) {
        lastError_ = EINVAL;
        return false;
    }
    // Bytes that arrived so far were received at the old rate.
    Pull(core_.Now());
    settings_ = settings;
    return true;
}

bool VirtualSerialPort::GetTimeouts(platform::CommTimeouts& out) {
    std::lock_guard lock(core_.mutex);
    out = timeouts_;
    return true;
}

bool VirtualSerialPort::SetTimeouts(const platform::CommTimeouts& timeouts) {
    std::lock_guard lock(core_.mutex);
    timeouts_ = timeouts;
    return true;
}

void VirtualSerialPort::Pull(uint64_t us) {
    for (const TimedByte& b : core_.phone.TakeOutput(uart_, us, settings_.baud)) {
        if (rx_.size() - rxHead_ >= kPcReceiveBuffer) {
            ++core_.dropped;
            continue;
        }
        rx_.push_back(b.byte);
    }
}

std::size_t VirtualSerialPort::TakeInto(std::span<uint8_t> buffer, std::size_t have) {
    std::size_t n = 0;
    while (have + n < buffer.size() && rxHead_ < rx_.size()) buffer[have + n++] = rx_[rxHead_++];
    if (rxHead_ == rx_.size()) {
        rx_.clear();
        rxHead_ = 0;
    } else if (rxHead_ > 65536) {
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_));
        rxHead_ = 0;
    }
    return n;
}

bool VirtualSerialPort::Read(std::span<uint8_t> buffer, uint32_t& received) {
    std::lock_guard lock(core_.mutex);
    received = 0;
    lastError_ = 0;
    const uint64_t start = core_.Now();
    Pull(start);
    std::size_t got = TakeInto(buffer, 0);
    const platform::CommTimeouts& t = timeouts_;
    const bool nonBlocking = t.readInterval == kMaxDword && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
    const bool anyByteEnds = t.readInterval == kMaxDword && !nonBlocking;  // the first bytes end the read
    if (nonBlocking || got == buffer.size() || (anyByteEnds && got > 0)) {
        received = static_cast<uint32_t>(got);
        return true;
    }
    const uint64_t totalMs = static_cast<uint64_t>(t.readTotalMultiplier) * buffer.size() + t.readTotalConstant;
    const bool hasDeadline = totalMs != 0;
    const uint64_t deadline = hasDeadline ? start + totalMs * 1000 : kNever;
    uint64_t lastByteUs = start;
    for (;;) {
        uint64_t limit = hasDeadline ? deadline : lastByteUs + kIdleReadLimitUs;
        if (got > 0 && t.readInterval != 0 && t.readInterval != kMaxDword)
            limit = std::min(limit, lastByteUs + static_cast<uint64_t>(t.readInterval) * 1000);
        const uint64_t now = core_.Now();
        if (now >= limit) break;
        // The phone may answer a byte of a write under way on any port.
        uint64_t target = std::min(
            {core_.phone.NextOutputUs(uart_), core_.phone.NextEventUs(), core_.NextHostByteUs(), limit});
        if (target <= now) target = now + 1;  // always move on
        core_.AdvanceTo(target);
        Pull(core_.Now());
        const std::size_t n = TakeInto(buffer, got);
        if (n > 0) {
            got += n;
            lastByteUs = core_.Now();
            if (got == buffer.size() || anyByteEnds) break;
        }
    }
    received = static_cast<uint32_t>(got);
    return true;
}

bool VirtualSerialPort::Write(std::span<const uint8_t> data, uint32_t& sent) {
    std::lock_guard lock(core_.mutex);
    sent = 0;
    if (!BeginWrite(data)) return false;
    return PollWrite(platform::kInfinite, sent) == platform::WriteStatus::Done;
}

bool VirtualSerialPort::BeginWrite(std::span<const uint8_t> data) {
    std::lock_guard lock(core_.mutex);
    if (core_.FindHostWrite(this) != nullptr) {
        lastError_ = EBUSY;
        return false;
    }
    lastError_ = 0;
    core_.hostWrites.push_back(HostWrite{this, uart_, settings_.baud, core_.Now(), data, 0});
    return true;
}

platform::WriteStatus VirtualSerialPort::PollWrite(uint32_t waitMs, uint32_t& sent) {
    std::lock_guard lock(core_.mutex);
    const HostWrite* w = core_.FindHostWrite(this);
    if (w == nullptr) {
        sent = 0;
        lastError_ = EINVAL;
        return platform::WriteStatus::Failed;
    }
    // The clock runs to the write's last byte, or for waitMs.
    const uint64_t end = w->EndUs();
    const uint64_t now = core_.Now();
    const uint64_t target =
        waitMs == platform::kInfinite ? end : std::min(end, now + uint64_t{waitMs} * 1000);
    core_.AdvanceTo(std::max(target, now));
    w = core_.FindHostWrite(this);
    sent = static_cast<uint32_t>(w->next);
    if (!w->Finished()) return platform::WriteStatus::Pending;
    core_.EndHostWrite(this);
    return platform::WriteStatus::Done;
}

bool VirtualSerialPort::Drain() {
    std::lock_guard lock(core_.mutex);
    // A finished write has already reached the phone.
    if (core_.FindHostWrite(this) != nullptr) {
        lastError_ = EBUSY;
        return false;
    }
    return true;
}

}  // namespace flashwire::sim
