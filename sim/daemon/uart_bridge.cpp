#include "sim/daemon/uart_bridge.h"

#include <algorithm>
#include <array>
#include <utility>

namespace flashwire::simd {

UartBridge::UartBridge(unsigned uart, PseudoTerminal terminal, uint64_t timeSliceUs)
    : uart_(uart), terminal_(std::move(terminal)), timeSliceUs_(timeSliceUs) {}

void UartBridge::BeginStep() {
    const PcLine before = lastLine_;
    PcLine line;
    // A rate of 0 (the PC hung the line up) or one the terminal cannot name
    // keeps the last usable one.
    if (terminal_.ReadPcLine(line) && line.baud != 0) lastLine_ = line;
    // A client closed the port since the last step: what it left in the
    // terminal went out at the rate it had, whatever a client that opened
    // the port since has set.
    if (terminal_.TakeCloses() && !closedLineHeld_) {
        closedLineHeld_ = true;
        closedLine_ = before;
    }
}

std::size_t UartBridge::QueueLimit() const {
    const uint64_t bytesPerSecond = lastLine_.baud / std::max<uint32_t>(lastLine_.frameBits, 1);
    const uint64_t ahead = bytesPerSecond * kReadAheadSlices * timeSliceUs_ / 1'000'000u;
    return static_cast<std::size_t>(std::clamp<uint64_t>(ahead, kPcInputQueue, kMaxPcInputQueue));
}

bool UartBridge::PullFromPc(uint64_t nowUs) {
    std::array<uint8_t, kMaxPcInputQueue> buffer{};
    for (;;) {
        PcFlushes flushes;
        const std::size_t limit = QueueLimit();
        const std::size_t room = queue_.size() < limit ? limit - queue_.size() : 0;
        // With the queue full nothing is read, flush notices included: they
        // are seen once the line has taken a byte (a millisecond or so).
        const long n = room == 0 ? 0 : terminal_.ReadFromPc(std::span<uint8_t>(buffer.data(), room), flushes);
        if (n < 0) return false;
        // The PC emptied its receive buffer: what waits for the terminal was
        // already "received" and goes with it. It emptied its transmit
        // buffer: what has not started on the line is gone.
        if (flushes.input) pending_.clear();
        if (flushes.output) queue_.clear();
        if (n == 0) {
            // Stays held while the queue is full: the closed client's bytes
            // may still wait in the terminal.
            if (room != 0) closedLineHeld_ = false;
            return true;
        }
        const PcLine line = closedLineHeld_ ? closedLine_ : lastLine_;
        for (long i = 0; i < n; ++i) queue_.push_back({buffer[static_cast<std::size_t>(i)], nowUs, line});
    }
}

uint64_t UartBridge::NextArrivalUs() {
    if (!onLine_) {
        if (queue_.empty()) return UINT64_MAX;
        const QueuedByte next = queue_.front();
        queue_.pop_front();
        const PcLine line = next.line;
        const uint64_t startNs = std::max(lineEndNs_, next.arrivalUs * 1000u);
        lineEndNs_ = startNs + (uint64_t{line.frameBits} * 1'000'000'000u + line.baud - 1) / line.baud;
        lineByte_ = next.byte;
        lineBaud_ = line.baud;
        onLine_ = true;
    }
    return (lineEndNs_ + 999u) / 1000u;
}

void UartBridge::DeliverTo(sim::Phone& phone) {
    if (!onLine_) return;
    onLine_ = false;
    phone.HostByte(uart_, (lineEndNs_ + 999u) / 1000u, lineByte_, lineBaud_);
}

bool UartBridge::ForwardToPc(sim::Phone& phone, uint64_t nowUs) {
    if (phone.NextOutputUs(uart_) <= nowUs) {
        const std::vector<sim::TimedByte> bytes = phone.TakeOutput(uart_, nowUs, lastLine_.baud);
        for (const sim::TimedByte& b : bytes) {
            if (pending_.size() < kPcOutputBuffer) {
                pending_.push_back(b.byte);
            } else {
                ++lostToPc_;
            }
        }
    }
    return FlushToPc();
}

bool UartBridge::FlushToPc() {
    std::array<uint8_t, 4096> chunk{};
    while (!pending_.empty()) {
        const std::size_t n = std::min(chunk.size(), pending_.size());
        std::copy_n(pending_.begin(), n, chunk.begin());
        const long written = terminal_.WriteToPc(std::span<const uint8_t>(chunk.data(), n));
        if (written < 0) return false;
        if (written == 0) break;
        pending_.erase(pending_.begin(), pending_.begin() + written);
    }
    return true;
}

}  // namespace flashwire::simd
