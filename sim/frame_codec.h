// The phone's side of the framed protocols: the CRC-32 of every frame
// (reflected table 0xEDB88320, register seeded with 1, no final XOR),
// little-endian fields, 4CCs, the incremental parser of command frames
// (4CC, length, payload, CRC when the payload is not empty, end marker) and
// the encoders of the replies, text messages and memory dumps.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace flashwire::sim {

uint32_t Crc32(std::span<const uint8_t> bytes);
// 16-bit sum of the bytes, complemented: the active boot ROM's block checksum.
uint16_t BlockChecksum(std::span<const uint8_t> bytes);

void PutU32(std::vector<uint8_t>& out, uint32_t value);
uint32_t GetU32(std::span<const uint8_t> bytes, std::size_t offset);  // 0 past the end
void PutText(std::vector<uint8_t>& out, std::string_view text);     // the characters, no NUL
// A 4CC's four characters as a 32-bit value, the first character lowest.
constexpr uint32_t FourCC(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}
std::string FourCCText(uint32_t fourcc);

// What the parser found.
struct FrameEvent {
    enum class Kind : uint8_t {
        Raw,       // a raw 4CC (no frame), e.g. "sync"
        Frame,     // a whole command frame
    };
    Kind kind = Kind::Frame;
    uint32_t command = 0;
    std::vector<uint8_t> payload;
    uint32_t receivedCrc = 0;
    bool crcOk = true;
    bool endOk = true;
    bool lengthOk = true;  // false: the announced length was over the limit (no payload read)
    uint32_t announcedLength = 0;
    bool wellFormed() const { return crcOk && endOk && lengthOk; }
};

// Incremental parser of command frames on one line. Outside a frame it looks
// for the listed 4CCs in the last four bytes received; a command 4CC starts a
// frame, a raw 4CC is reported at once. Inside a frame it reads fixed counts.
// A frame that stays quiet for idleResetUs is dropped and scanning restarts.
// With rawInFrame, a raw 4CC among the bytes of an unfinished frame drops the
// frame and is reported (a resynchronisation request in the middle of a frame
// that lost bytes); only for frames whose payloads are small binary fields,
// never for frames that carry images. The bytes that ended a frame stay in the
// scan window, so a raw 4CC that began inside a broken frame still counts.
class FrameParser {
public:
    struct Command {
        uint32_t fourcc;
        uint32_t maxPayload;
    };
    FrameParser(uint32_t endMarker, std::vector<Command> commands, std::vector<uint32_t> raw,
                uint64_t idleResetUs, bool rawInFrame = false);

    // Feeds one byte that arrived at us; returns an event when one is complete.
    std::optional<FrameEvent> Feed(uint8_t byte, uint64_t us);
    void Reset();
    bool inFrame() const { return state_ != State::Scan; }
    // True when, at us, the line may be carrying a frame of command: the
    // frame is being read, or the last bytes read are the first characters of
    // its 4CC; either not quiet for idleResetUs.
    bool MayBeReading(uint32_t command, uint64_t us) const;
    // The first time at which the line counts as quiet for idleResetUs;
    // UINT64_MAX without an idle reset.
    uint64_t QuietAtUs() const;

private:
    enum class State : uint8_t { Scan, Length, Payload, Crc, End };
    std::optional<FrameEvent> Finish();
    std::optional<FrameEvent> RawEvent();

    uint32_t endMarker_;
    std::vector<Command> commands_;
    std::vector<uint32_t> raw_;
    uint64_t idleResetUs_;
    bool rawInFrame_;
    State state_ = State::Scan;
    uint32_t window_ = 0;
    uint32_t field_ = 0;
    unsigned fieldBytes_ = 0;
    uint64_t lastUs_ = 0;
    FrameEvent current_;
    uint32_t maxPayload_ = 0;
};

// Boot loader replies: "resp", the command, "+ok+", length, payload, CRC
// (payload and CRC only when not empty), "(hw)"; refused: "resp", command,
// "nack", "(hw)".
std::vector<uint8_t> BootReplyOk(uint32_t command, std::span<const uint8_t> payload);
std::vector<uint8_t> BootReplyNack(uint32_t command);

// Flash loader replies: "rply", the command, "+ok!" or "-err", length,
// payload and CRC (when not empty), "eom.".
std::vector<uint8_t> LoaderReplyOk(uint32_t command, std::span<const uint8_t> payload);
std::vector<uint8_t> LoaderReplyError(uint32_t command, uint32_t code, uint32_t v1, uint32_t v2,
                                      uint32_t v3, uint32_t v4);
// "*msg", length, text with its NUL, CRC, "msg.".
std::vector<uint8_t> LoaderTextMessage(std::string_view text);
// "*dmp", first address, last address, length, bytes, CRC, "dmp.".
std::vector<uint8_t> LoaderMemoryDump(uint32_t first, std::span<const uint8_t> bytes);

}  // namespace flashwire::sim
