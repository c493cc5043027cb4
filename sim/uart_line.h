// One of the phone's UARTs as seen from the line: its rate (with a change
// that takes effect once the transmitter has sent what it holds), the
// transmitter's queue of bytes with their arrival times at the PC, and the
// deterministic garbling of bytes that cross between different rates.
//
// The PC's receiver hands bytes that came back to back to its software in
// packets, as a receive FIFO or a USB serial adapter does: the bytes of one
// reply become readable together, up to kPcPacketBytes at a time, when the
// last byte of their packet has arrived. A host that reads '#' of the
// two-byte probe answer therefore finds the 'A' behind it already there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/phone.h"

namespace flashwire::sim {

// Time on the line of one byte (start bit, 8 data bits, stop bit) in ns.
uint64_t ByteTimeNs(uint32_t baud);

inline constexpr std::size_t kPcPacketBytes = 16;

// What a receiver sampling at receiverBaud reads from a byte sent at
// senderBaud: it syncs on the start bit and samples the middle of each of its
// own bit times; beyond the sender's stop bit the line is idle (1).
uint8_t GarbleByte(uint8_t byte, uint32_t senderBaud, uint32_t receiverBaud);

class UartLine {
public:
    // The UART restarts at us with baud: bytes that would still arrive after
    // us are lost, bytes already arriving stay.
    void Reset(uint32_t baud, uint64_t us);

    // The phone's rate at time us (a pending change counts from its time on).
    uint32_t RateAt(uint64_t us) const;
    uint32_t rate() const { return rate_; }
    // Changes the rate once every byte queued so far has been sent, and not
    // before notBeforeUs.
    void SetRateWhenSent(uint32_t baud, uint64_t notBeforeUs);

    // Queues a byte the phone starts sending no earlier than us (and not
    // before the transmitter is free or released from a hold); returns the
    // time its last bit reaches the PC.
    uint64_t Queue(uint64_t us, uint8_t byte);
    // The last count bytes queued (one reply) become readable by the PC in
    // packets of up to kPcPacketBytes, each when its last byte has arrived.
    void DeliverTogether(std::size_t count);
    // The transmitter sends nothing before untilUs.
    void Hold(uint64_t untilUs);
    // When the transmitter has sent everything queued (us).
    uint64_t FreeAtUs() const;

    // When the next byte becomes readable by the PC.
    uint64_t NextArrivalUs() const;
    // Takes the bytes readable by upToUs (TimedByte::us: when they became so), garbled when their rate differs
    // from pcBaud; garbled counts how many were.
    std::vector<TimedByte> Take(uint64_t upToUs, uint32_t pcBaud, uint32_t* garbled);
    // Forgets the bytes that would arrive after us (the phone stopped).
    void DropAfter(uint64_t us);

private:
    struct Pending {
        uint64_t us;       // its last bit reaches the PC
        uint64_t readyUs;  // the PC's software can read it (end of its packet)
        uint8_t byte;
        uint32_t baud;
    };
    uint32_t rate_ = 115200;
    uint32_t pendingRate_ = 0;
    uint64_t pendingRateNs_ = 0;
    uint64_t freeAtNs_ = 0;
    uint64_t holdUntilNs_ = 0;
    std::deque<Pending> queue_;
};

}  // namespace flashwire::sim
