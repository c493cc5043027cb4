// The simulated phone: a deterministic model of a phone's boot ROM (active or
// passive), setup loader, flash loader and NOR flash behind two UARTs, on a
// virtual clock in microseconds. The PC side hands it bytes with the time
// their last bit arrives and takes the bytes it sent with the time their last
// bit reaches the PC; between the two, the phone runs its timers (power-on,
// announcements, flash operations). Same configuration, seed and input: same
// output, byte for byte and microsecond for microsecond.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/nor_flash.h"
#include "sim/phone_config.h"

namespace flashwire::sim {

// The program answering on the phone's side.
enum class Stage : uint8_t { ActiveBootRom, PassiveBootRom, SetupLoader, FlashLoader };

const char* StageName(Stage stage);

struct TimedByte {
    uint64_t us = 0;  // the byte's last bit reaches the receiver
    uint8_t byte = 0;
};

// One command the phone received (also single-byte tokens such as the rate
// pattern, pings, probes, and "sync"/"SYNC").
struct CommandRecord {
    Stage stage = Stage::PassiveBootRom;
    unsigned uart = 0;
    std::string token;             // 4CC in wire order, or the token's name ("rate", "?", "*", "b", "c"...)
    std::vector<uint8_t> payload;  // the frame's payload (the block number for "b", ...)
    uint64_t us = 0;               // arrival of its last byte
    bool wellFormed = true;        // false: bad CRC, end marker or length
};

enum class FaultKind : uint8_t {
    BitFlip,
    Drop,
    Garbage,
    Stall,
    ReplyRefused,
    ReplySilenced,
    ReplyCorrupted,
    Silent,
    Reboot,
    RateMismatch,    // a byte crossed the line between different rates (garbled)
    InputOverflow,   // a bounded receive buffer was full: the byte was lost
    StreamNotArmed,  // a "TXDT" stream byte came before the loader armed its receive: lost
};

const char* FaultKindName(FaultKind kind);

struct FaultRecord {
    uint64_t us = 0;
    FaultKind kind = FaultKind::BitFlip;
    Direction direction = Direction::ToHost;
    unsigned uart = 0;
    std::string detail;
};

// A reply about to leave the phone, as the reply filter sees it. Tokens:
// "O" announcement, "K", "ZE" (the 'Z' 'E' pair), "R", "B" (block-number ack,
// 3 bytes), "N" (checksum reply: 'N', or 'T'/'F' and 2 bytes), "P", "!",
// "-()-", "info", "data", "done" (the whole framed reply), "#A"/"#B" (UART
// probe answer), "syn!", "*msg", "*dmp", and for the flash loader the 4CC of
// the command answered ("INFO", "TXDT", "VRFY"...). occurrence counts that
// token's earlier sends from 0.
struct OutgoingReply {
    Stage stage = Stage::PassiveBootRom;
    std::string token;
    uint32_t occurrence = 0;
    uint64_t us = 0;
};

using ReplyFilter = std::function<void(const OutgoingReply&, std::vector<uint8_t>& bytes)>;

// One byte on the wire, for the byte log (EnableWireLog).
struct WireRecord {
    uint64_t us = 0;
    Direction direction = Direction::ToPhone;
    unsigned uart = 0;
    uint8_t byte = 0;
};

// A program image loaded into the phone's RAM.
struct LoadedImage {
    uint32_t base = 0;          // phone address of bytes[0]
    std::vector<uint8_t> bytes; // from the lowest to the highest address loaded (gaps 0xFF)
};

class Phone {
public:
    explicit Phone(const PhoneConfig& config, uint64_t seed);
    ~Phone();
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    // Powers the phone on at us (an earlier, not yet reached power-on time is
    // replaced; a phone already on is reset at us).
    void PowerOn(uint64_t us);
    // The PC sent byte at pcBaud on uart; its last bit arrives at us. Runs the
    // phone up to us first. Times must not go backwards.
    void HostByte(unsigned uart, uint64_t us, uint8_t byte, uint32_t pcBaud);
    // Runs the phone's timers up to us.
    void RunUntil(uint64_t us);
    // The bytes whose last bit reaches the PC by upToUs, in order; garbled when
    // the phone sent them at a rate other than pcBaud.
    std::vector<TimedByte> TakeOutput(unsigned uart, uint64_t upToUs, uint32_t pcBaud);
    // Arrival of the next byte not yet taken on uart, or UINT64_MAX.
    uint64_t NextOutputUs(unsigned uart) const;
    // The next time a timer of the phone fires, or UINT64_MAX.
    uint64_t NextEventUs() const;
    uint64_t NowUs() const;

    // Inspection.
    const PhoneConfig& config() const;
    bool poweredOn() const;
    bool halted() const;  // a loaded image had no signature, or the phone went silent
    Stage stage() const;
    const NorFlash& flash() const;
    NorFlash& flash();
    // A deque: a phone that hears a ping every millisecond for virtual minutes
    // logs it without ever moving the records already logged.
    const std::deque<CommandRecord>& commandLog() const;
    const std::vector<FaultRecord>& faultLog() const;
    uint64_t bytesFromHost(unsigned uart) const;  // bytes received (as they came off the line)
    uint64_t bytesToHost(unsigned uart) const;    // bytes sent
    uint32_t uartBaud(unsigned uart) const;       // the phone's rate on uart now
    // The images the loaders were loaded from; empty while not loaded.
    const LoadedImage& setupLoaderImage() const;
    const LoadedImage& flashLoaderImage() const;
    // Number of resets (power-on counts as the first).
    uint32_t bootCount() const;
    // Restarts after the end byte (PhoneConfig::restartOnEndByte).
    uint32_t endByteRestarts() const;

    // Test hooks.
    void SetReplyFilter(ReplyFilter filter);
    void EnableWireLog(bool on);
    const std::vector<WireRecord>& wireLog() const;
    // Empties the command, fault and wire logs (a long run keeps its memory
    // flat); faults placed at a command number still count every command.
    void ClearLogs();

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace flashwire::sim
