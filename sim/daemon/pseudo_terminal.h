// One pseudo-terminal that stands in for one of the phone's UARTs.
//
// The daemon holds the master side and, for as long as it lives, one open
// descriptor of the slave side too: without it the master would report a
// hang-up (EIO on read) every time the PC-side client closes the slave, and
// the terminal settings would fall back to their defaults between clients.
// The PC side's line settings are read from the master (on Linux the master
// reports the settings that the client put on the slave). The master runs in
// packet mode, so the daemon also learns when the client flushes its buffers
// and can drop what a real port would drop.
//
// Each terminal is also the controlling terminal of a session of its own,
// held by a small child process for as long as the terminal is open. A host
// whose file opens happen in a session leader without a controlling terminal
// (a Wine process can be one) would otherwise make the terminal its own
// controlling terminal on opening it, and hang it up, for everyone, when it
// exits; a terminal that already belongs to a session is never taken over.
//
// The slave's device node is watched (inotify) for closes: a client that
// writes a last byte and closes the port can reopen it and set another rate
// before the daemon has read that byte, and the close is the one event that
// tells the daemon which rate the byte went out at (see UartBridge).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <sys/types.h>

namespace flashwire::simd {

// The PC side's line: its rate and the bits one byte occupies on the wire
// (start bit, data bits, parity bit, stop bits).
struct PcLine {
    uint32_t baud = 0;  // 0: the PC has hung the line up (B0)
    uint32_t frameBits = 10;
};

// Buffer flushes the PC side asked for (tcflush on the slave) since the last
// read: its input (what the phone sent and the PC has not read yet) and its
// output (what the PC wrote and the line has not taken yet).
struct PcFlushes {
    bool input = false;
    bool output = false;
};

// The rate of a termios speed constant (B115200 → 115200); 0 for B0 or an
// unknown constant.
uint32_t BaudOfSpeedConstant(unsigned speedConstant);

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    PseudoTerminal(PseudoTerminal&& other) noexcept;
    PseudoTerminal& operator=(PseudoTerminal&& other) noexcept;

    // Opens a new pseudo-terminal pair, puts the slave into raw 8N1 mode at
    // 115200 baud (what a freshly opened serial port offers) and makes the
    // master non-blocking. False with a message on failure.
    bool Open(std::string& error);

    bool IsOpen() const { return master_ >= 0; }
    int MasterFd() const { return master_; }
    // The slave's device path ("/dev/pts/N").
    const std::string& SlavePath() const { return slavePath_; }

    // The PC side's current line settings; false if they cannot be read.
    bool ReadPcLine(PcLine& out) const;

    // Non-blocking read of what the PC has written: the count read, 0 when
    // nothing is waiting, -1 on a failure other than "try again". Flushes the
    // PC asked for meanwhile are added to flushes.
    long ReadFromPc(std::span<uint8_t> buffer, PcFlushes& flushes);
    // Non-blocking write towards the PC: the count taken, 0 when the PC side's
    // buffer is full, -1 on another failure.
    long WriteToPc(std::span<const uint8_t> data);

    // Readable when a client has closed the slave since the last TakeCloses;
    // -1 when closes cannot be watched.
    int CloseWatchFd() const { return closeWatch_; }
    // True if a client has closed the slave since the last call.
    bool TakeCloses();

    void Close();

private:
    // Starts the child that makes the slave its controlling terminal.
    bool StartSessionHolder(std::string& error);

    int master_ = -1;
    int heldSlave_ = -1;
    std::string slavePath_;
    pid_t holder_ = -1;    // the child holding the terminal's session
    int holderPipe_ = -1;  // the child ends when this (its only writer) closes
    int closeWatch_ = -1;  // inotify descriptor watching the slave for closes
};

}  // namespace flashwire::simd
