// One UART of the simulated phone wired to its pseudo-terminal, in real time.
//
// PC → phone: what the PC writes is taken from the pseudo-terminal into a
// small queue (when the queue is full the daemon stops reading, so the PC's
// writes back up as they would on a real line) and put on the line one byte
// after the other: a byte occupies its frame (start bit, data bits, parity,
// stop bits: 10 bit times for 8N1) at the rate the PC has set on the
// terminal, and reaches the phone when its last bit does. The rate is read
// at every step of the daemon (BeginStep), so a client that changes it
// between two writes is followed within a step. The queue holds what the
// line carries in sixteen of the daemon's time slices (at least 64 bytes, at
// most 4 KiB, about what a real port's driver buffers), so that a step that
// comes late on a busy machine never leaves the line idle.
//
// The rate a byte is judged at is the one in force when the daemon read it,
// with one exception: a client that writes a last byte (the end byte 'o' of a
// job) and closes the port may reopen it and set another rate before the
// daemon has read that byte; a pseudo-terminal's close does not wait for the
// line as a serial port's does. So when a client has closed the port, what
// was still waiting in the terminal is judged at the rate the daemon saw
// before the close. (What the next client writes within the same step, a
// millisecond or so, is judged at that rate too: the terminal keeps no order
// between bytes and settings.)
//
// Phone → PC: the bytes whose last bit has reached the PC by now (the model
// paces them at the phone's own rate and garbles them when it differs from
// the PC's) are written to the pseudo-terminal; what the terminal cannot take
// yet waits in a bounded buffer, beyond which bytes are lost as on a real
// port whose receive buffer overflows.
//
// Flushes: when the PC empties its receive buffer (tcflush TCIFLUSH, as a
// host does after opening a port), the bytes still waiting for the terminal
// are dropped with it; when it empties its transmit buffer (TCOFLUSH), the
// queued bytes that have not started on the line are dropped.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/daemon/pseudo_terminal.h"
#include "sim/phone.h"

namespace flashwire::simd {

inline constexpr std::size_t kPcInputQueue = 64;          // bytes read ahead from the PC, at least
inline constexpr std::size_t kMaxPcInputQueue = 4096;     // ... and at most
inline constexpr uint64_t kReadAheadSlices = 16;          // time slices of line the queue holds
inline constexpr std::size_t kPcOutputBuffer = 1u << 20;  // bytes waiting for the terminal
inline constexpr uint32_t kPowerOnPcBaud = 115200;        // until the PC's rate can be read

class UartBridge {
public:
    // timeSliceUs: the daemon's step (sizes the read-ahead; 0: kPcInputQueue).
    UartBridge(unsigned uart, PseudoTerminal terminal, uint64_t timeSliceUs = 0);

    unsigned Uart() const { return uart_; }
    const PseudoTerminal& Terminal() const { return terminal_; }

    // Reads the PC side's line settings for this step of the daemon.
    void BeginStep();
    // True while the queue can take more of the PC's bytes.
    bool WantsPcInput() const { return queue_.size() < QueueLimit(); }
    // Reads what the PC has written (up to the queue's room), stamped nowUs.
    // False on a read failure of the terminal.
    bool PullFromPc(uint64_t nowUs);

    // When the byte now on the line reaches the phone (its last bit), putting
    // the next queued byte on the line first if the line is idle; UINT64_MAX
    // when nothing is on the line.
    uint64_t NextArrivalUs();
    // Hands the byte on the line to the phone (at its arrival time).
    void DeliverTo(sim::Phone& phone);

    // Takes the phone's bytes that have reached the PC by nowUs and writes as
    // many as the terminal takes. False on a write failure of the terminal.
    bool ForwardToPc(sim::Phone& phone, uint64_t nowUs);
    bool HasPendingOutput() const { return !pending_.empty(); }
    // Writes what waits; false on a write failure.
    bool FlushToPc();

    uint64_t lostToPc() const { return lostToPc_; }

private:
    struct QueuedByte {
        uint8_t byte;
        uint64_t arrivalUs;  // when the daemon read it from the terminal
        PcLine line;         // the PC's line when it was written
    };
    std::size_t QueueLimit() const;

    unsigned uart_;
    PseudoTerminal terminal_;
    uint64_t timeSliceUs_;
    PcLine lastLine_{kPowerOnPcBaud, 10};  // as read at the step's start
    // Set when a client closed the port: its line, for what it left in the
    // terminal; cleared once the terminal is read empty.
    bool closedLineHeld_ = false;
    PcLine closedLine_;
    std::deque<QueuedByte> queue_;
    // The byte crossing the line to the phone.
    bool onLine_ = false;
    uint8_t lineByte_ = 0;
    uint32_t lineBaud_ = 0;
    uint64_t lineEndNs_ = 0;  // end of the last byte put on the line
    std::deque<uint8_t> pending_;
    uint64_t lostToPc_ = 0;
};

}  // namespace flashwire::simd
