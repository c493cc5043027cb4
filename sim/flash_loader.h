// The flash loader: answers the UART probe ('*' -> '#' 'A'/'B') and "SYNC" on
// either UART, and carries out the framed commands "INFO", "CHKC", "BAUD",
// "SETP", "OPEN", "TXDT" (with its raw data streams on one or both UARTs),
// "ERAS", "CLOS", "VRFY", "SUCK" and "DONE" on the NOR flash, answering
// "rply" cmd "+ok!"/"-err" ... "eom." on the UART the command came on.
//
// Sector semantics (what keeps a host's data safe):
//  - "OPEN" starts a sector in RAM: with flag 0x02 the buffer starts as the
//    sector's present contents (bytes the host does not send are kept),
//    without it as 0xFF. Nothing is erased yet.
//  - "TXDT" puts data into that buffer; data outside the open sector fails.
//  - "ERAS" erases the open sector now.
//  - "CLOS" completes the sector: erases it unless erased since "OPEN"
//    (with flag 0x08, extra protection, an "ERAS" is required first, else
//    "-err"), programs the buffer and verifies it; a mismatch is "-err".
// So the flash keeps its old contents until the host has sent everything and
// closes the sector; an interrupted job leaves no half-erased sector.
//
// A host may start a stream on one UART while the "TXDT" frame that announces
// it is still arriving on the other. As a UART's receive buffer would, the
// loader keeps the bytes that reach a UART (outside a frame of its own) while
// a "TXDT" frame may be arriving on the other one, from the first character
// of its 4CC to its end marker, up to kHeldBytesLimit; once the frame has been
// dealt with they are read as if they arrived then: the first bytes of a
// stream on that UART, or commands when there is none.
//
// With an arming time (TimingConfig::streamArmingUs) the loader listens for a
// transfer's streams only that long after the "TXDT" frame's last byte; bytes
// of a stream that come earlier, held ones included, are lost and logged, and
// the stream then ends in a time-out ("-err" kErrStreamTimeout).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/frame_codec.h"
#include "sim/program.h"

namespace flashwire::sim {

// Codes of the flash loader's error record (the first u32 of a "-err"
// payload); the four values that follow are listed in docs/simulated-phone.md.
enum LoaderError : uint32_t {
    kErrBadLength = 0x02,
    kErrBadCrc = 0x03,
    kErrBadEndMarker = 0x04,
    kErrNotSetUp = 0x10,
    kErrChipMismatch = 0x11,
    kErrBadSector = 0x12,
    kErrNoSectorOpen = 0x13,
    kErrSectorStillOpen = 0x14,
    kErrOutsideSector = 0x15,
    kErrStreamCrc = 0x16,
    kErrStreamTimeout = 0x17,
    kErrNotErased = 0x18,
    kErrVerifyFailed = 0x19,
    kErrOutsideFlash = 0x1A,
    kErrTooLong = 0x1B,
    kErrBadBaudRate = 0x1C,
    kErrBadUart = 0x1D,
    kErrBadTestWord = 0x1E,
    kErrBadStreamTable = 0x1F,
    kErrInjected = 0x20,
};

// Bytes a UART keeps while a "TXDT" frame arrives on the other one; further
// bytes are lost (an overrun, logged as FaultKind::InputOverflow).
inline constexpr std::size_t kHeldBytesLimit = 4096;

class FlashLoader final : public Program {
public:
    FlashLoader(PhoneBus& bus, uint64_t startUs);
    Stage stage() const override { return Stage::FlashLoader; }
    void OnByte(unsigned uart, uint64_t us, uint8_t byte) override;
    uint64_t NextTimerUs() const override;
    void OnTimer(uint64_t us) override;

private:
    struct Reply {
        std::vector<uint8_t> payload;
        bool ok = true;
        std::array<uint32_t, 5> error{};
        uint64_t workUs = 0;  // time the command takes before its answer
        std::vector<std::vector<uint8_t>> records;  // "*msg"/"*dmp" sent before the answer
        uint32_t switchUart = 2;                    // a "BAUD" to apply after the answer
        uint32_t switchRate = 0;
    };
    struct OpenSector {
        SectorRef ref;
        uint8_t flags = 0;
        std::vector<uint8_t> buffer;
        bool erased = false;  // erased since "OPEN"
    };
    struct Stream {
        unsigned index = 0;
        unsigned uart = 0;
        uint32_t offset = 0;
        uint32_t length = 0;
        uint32_t crc = 0;
        std::vector<uint8_t> bytes;
    };
    struct Transfer {
        unsigned commandUart = 0;
        uint32_t address = 0;
        uint32_t length = 0;
        std::vector<Stream> streams;
        uint64_t lastActivityUs = 0;
        uint64_t armedAtUs = 0;                // stream bytes before this are lost
        std::array<uint32_t, 2> lostBytes{};  // per UART, counted for the fault log
    };

    void Dispatch(unsigned uart, uint64_t us, uint8_t byte);
    bool Holds(unsigned uart, uint64_t us) const;
    void Hold(unsigned uart, uint64_t us, uint8_t byte);
    void ReleaseHeld(unsigned uart, uint64_t us);
    void HandleFrame(unsigned uart, const FrameEvent& e, uint64_t us);
    void Answer(unsigned uart, uint32_t command, uint64_t us, Reply reply);
    static Reply Error(uint32_t code, uint32_t v1 = 0, uint32_t v2 = 0, uint32_t v3 = 0, uint32_t v4 = 0);
    uint64_t StartAt(uint64_t us) const;
    void StreamByte(unsigned uart, uint64_t us, uint8_t byte);
    void LoseUnarmed(unsigned uart, uint64_t us);
    void FinishTransfer(uint64_t us);
    Stream* PendingStream(unsigned uart);
    bool StreamPending(unsigned uart) const;

    Reply Info(const std::vector<uint8_t>& p);
    Reply CheckConnection(const std::vector<uint8_t>& p);
    Reply Baud(const std::vector<uint8_t>& p);
    Reply Setup(const std::vector<uint8_t>& p);
    Reply Open(const std::vector<uint8_t>& p);
    Reply Erase(const std::vector<uint8_t>& p);
    Reply Close(const std::vector<uint8_t>& p);
    Reply Verify(const std::vector<uint8_t>& p);
    Reply Suck(const std::vector<uint8_t>& p);
    Reply Done(const std::vector<uint8_t>& p);
    Reply TransferChecks(uint32_t address, uint32_t length) const;
    uint64_t EraseUs(const SectorRef& s) const;
    std::vector<uint8_t> Message(const std::string& text) const;

    PhoneBus& bus_;
    const PhoneConfig& cfg_;
    std::array<FrameParser, 2> parsers_;
    uint64_t busyUntil_ = 0;
    std::array<uint64_t, 2> probeAnswerEndUs_{};  // per UART: the last probe answer is out
    bool setUp_ = false;
    uint32_t erasePasses_ = 1;
    std::optional<OpenSector> open_;
    std::optional<std::pair<unsigned, unsigned>> lastClosed_;  // chip, sector
    std::optional<Transfer> transfer_;
    std::array<std::vector<uint8_t>, 2> held_;  // per UART: bytes kept while a "TXDT" frame arrives on the other
    std::array<bool, 2> heldOverflow_{};         // per UART: a byte was lost since the hold began
};

}  // namespace flashwire::sim
