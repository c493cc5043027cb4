// Line timing of one phone UART.
#include "sim/uart_line.h"

#include <algorithm>

namespace flashwire::sim {

uint64_t ByteTimeNs(uint32_t baud) {
    if (baud == 0) baud = 1;
    return (10'000'000'000ull + baud - 1) / baud;
}

uint8_t GarbleByte(uint8_t byte, uint32_t senderBaud, uint32_t receiverBaud) {
    if (senderBaud == receiverBaud || senderBaud == 0 || receiverBaud == 0) return byte;
    uint8_t out = 0;
    for (unsigned j = 1; j <= 8; ++j) {
        // Sender bit index at the middle of the receiver's bit j.
        const uint64_t index = ((2ull * j + 1) * senderBaud) / (2ull * receiverBaud);
        unsigned level;
        if (index == 0) level = 0;                        // start bit
        else if (index <= 8) level = (byte >> (index - 1)) & 1u;  // data bits
        else level = 1;                                   // stop bit and idle line
        out |= static_cast<uint8_t>(level << (j - 1));
    }
    return out;
}

void UartLine::Reset(uint32_t baud, uint64_t us) {
    DropAfter(us);
    rate_ = baud;
    pendingRate_ = 0;
    freeAtNs_ = us * 1000;
    holdUntilNs_ = 0;
}

uint32_t UartLine::RateAt(uint64_t us) const {
    if (pendingRate_ != 0 && us * 1000 >= pendingRateNs_) return pendingRate_;
    return rate_;
}

void UartLine::SetRateWhenSent(uint32_t baud, uint64_t notBeforeUs) {
    if (pendingRate_ != 0) rate_ = pendingRate_;
    pendingRate_ = baud;
    pendingRateNs_ = std::max(freeAtNs_, notBeforeUs * 1000);
}

uint64_t UartLine::Queue(uint64_t us, uint8_t byte) {
    uint64_t startNs = std::max({us * 1000, freeAtNs_, holdUntilNs_});
    if (pendingRate_ != 0 && startNs >= pendingRateNs_) {
        rate_ = pendingRate_;
        pendingRate_ = 0;
    }
    freeAtNs_ = startNs + ByteTimeNs(rate_);
    const uint64_t arrival = (freeAtNs_ + 999) / 1000;
    queue_.push_back({arrival, arrival, byte, rate_});
    return arrival;
}

void UartLine::DeliverTogether(std::size_t count) {
    count = std::min(count, queue_.size());
    const std::size_t begin = queue_.size() - count;
    for (std::size_t start = begin; start < queue_.size(); start += kPcPacketBytes) {
        const std::size_t end = std::min(start + kPcPacketBytes, queue_.size());
        const uint64_t ready = queue_[end - 1].us;
        for (std::size_t i = start; i < end; ++i) queue_[i].readyUs = ready;
    }
}

void UartLine::Hold(uint64_t untilUs) { holdUntilNs_ = std::max(holdUntilNs_, untilUs * 1000); }

uint64_t UartLine::FreeAtUs() const { return (freeAtNs_ + 999) / 1000; }

uint64_t UartLine::NextArrivalUs() const { return queue_.empty() ? UINT64_MAX : queue_.front().readyUs; }

std::vector<TimedByte> UartLine::Take(uint64_t upToUs, uint32_t pcBaud, uint32_t* garbled) {
    std::vector<TimedByte> out;
    uint32_t count = 0;
    while (!queue_.empty() && queue_.front().readyUs <= upToUs) {
        const Pending& p = queue_.front();
        uint8_t b = p.byte;
        if (p.baud != pcBaud) {
            b = GarbleByte(b, p.baud, pcBaud);
            ++count;
        }
        out.push_back({p.readyUs, b});
        queue_.pop_front();
    }
    if (garbled) *garbled = count;
    return out;
}

void UartLine::DropAfter(uint64_t us) {
    while (!queue_.empty() && queue_.back().us > us) queue_.pop_back();
    // A packet cut short is handed over with its last remaining byte.
    if (!queue_.empty()) {
        const uint64_t lastArrival = queue_.back().us;
        for (auto it = queue_.rbegin(); it != queue_.rend() && it->readyUs > us; ++it) it->readyUs = lastArrival;
    }
    freeAtNs_ = std::min(freeAtNs_, us * 1000);
    if (pendingRate_ != 0) {
        rate_ = pendingRate_;
        pendingRate_ = 0;
    }
}

}  // namespace flashwire::sim
