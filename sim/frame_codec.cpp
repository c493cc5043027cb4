// CRC-32, fields, the incremental command-frame parser and reply encoders.
#include "sim/frame_codec.h"

#include <array>

namespace flashwire::sim {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

void PutFourCC(std::vector<uint8_t>& out, uint32_t fourcc) { PutU32(out, fourcc); }

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes) {
    uint32_t crc = 1;
    for (uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFFu] ^ (crc >> 8);
    return crc;
}

uint16_t BlockChecksum(std::span<const uint8_t> bytes) {
    uint16_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint16_t>(sum + b);
    return static_cast<uint16_t>(sum ^ 0xFFFFu);
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetU32(std::span<const uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

void PutText(std::vector<uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

std::string FourCCText(uint32_t fourcc) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((fourcc >> (8 * i)) & 0xFFu);
    return s;
}

FrameParser::FrameParser(uint32_t endMarker, std::vector<Command> commands,
                         std::vector<uint32_t> raw, uint64_t idleResetUs, bool rawInFrame)
    : endMarker_(endMarker), commands_(std::move(commands)), raw_(std::move(raw)),
      idleResetUs_(idleResetUs), rawInFrame_(rawInFrame) {}

void FrameParser::Reset() {
    state_ = State::Scan;
    window_ = 0;
    field_ = 0;
    fieldBytes_ = 0;
    current_ = FrameEvent{};
}

bool FrameParser::MayBeReading(uint32_t command, uint64_t us) const {
    if (idleResetUs_ != 0 && us - lastUs_ > idleResetUs_) return false;
    if (inFrame()) return current_.command == command;
    // The newest byte is the window's highest.
    for (unsigned k = 1; k < 4; ++k)
        if (window_ >> (32 - 8 * k) == (command & ((1u << (8 * k)) - 1))) return true;
    return false;
}

uint64_t FrameParser::QuietAtUs() const { return idleResetUs_ == 0 ? UINT64_MAX : lastUs_ + idleResetUs_ + 1; }

std::optional<FrameEvent> FrameParser::Feed(uint8_t byte, uint64_t us) {
    if (state_ != State::Scan && idleResetUs_ != 0 && us - lastUs_ > idleResetUs_) Reset();
    lastUs_ = us;

    auto takeField = [&]() {
        field_ |= static_cast<uint32_t>(byte) << (8 * fieldBytes_);
        return ++fieldBytes_ == 4;
    };
    auto nextField = [&](State s) {
        state_ = s;
        field_ = 0;
        fieldBytes_ = 0;
    };

    // The window holds the last four bytes since the current frame began
    // (or, outside frames, since the last 4CC was recognised).
    window_ = (window_ >> 8) | static_cast<uint32_t>(byte) << 24;
    if (state_ == State::Scan || rawInFrame_) {
        for (uint32_t r : raw_)
            if (window_ == r) return RawEvent();
    }

    switch (state_) {
    case State::Scan: {
        for (const Command& c : commands_) {
            if (window_ == c.fourcc) {
                window_ = 0;
                current_ = FrameEvent{};
                current_.command = c.fourcc;
                maxPayload_ = c.maxPayload;
                nextField(State::Length);
                break;
            }
        }
        return std::nullopt;
    }
    case State::Length:
        if (!takeField()) return std::nullopt;
        current_.announcedLength = field_;
        if (field_ > maxPayload_) {
            current_.lengthOk = false;
            return Finish();
        }
        current_.payload.reserve(field_);
        nextField(field_ == 0 ? State::End : State::Payload);
        return std::nullopt;
    case State::Payload:
        current_.payload.push_back(byte);
        if (current_.payload.size() == current_.announcedLength) nextField(State::Crc);
        return std::nullopt;
    case State::Crc:
        if (!takeField()) return std::nullopt;
        current_.receivedCrc = field_;
        current_.crcOk = field_ == Crc32(current_.payload);
        nextField(State::End);
        return std::nullopt;
    case State::End:
        if (!takeField()) return std::nullopt;
        current_.endOk = field_ == endMarker_;
        return Finish();
    }
    return std::nullopt;
}

std::optional<FrameEvent> FrameParser::Finish() {
    FrameEvent e = std::move(current_);
    const uint32_t window = window_;
    Reset();
    window_ = window;
    return e;
}

std::optional<FrameEvent> FrameParser::RawEvent() {
    FrameEvent e;
    e.kind = FrameEvent::Kind::Raw;
    e.command = window_;
    Reset();  // an unfinished frame is dropped
    return e;
}

std::vector<uint8_t> BootReplyOk(uint32_t command, std::span<const uint8_t> payload) {
    std::vector<uint8_t> out;
    PutFourCC(out, FourCC("resp"));
    PutFourCC(out, command);
    PutFourCC(out, FourCC("+ok+"));
    PutU32(out, static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) {
        out.insert(out.end(), payload.begin(), payload.end());
        PutU32(out, Crc32(payload));
    }
    PutFourCC(out, FourCC("(hw)"));
    return out;
}

std::vector<uint8_t> BootReplyNack(uint32_t command) {
    std::vector<uint8_t> out;
    PutFourCC(out, FourCC("resp"));
    PutFourCC(out, command);
    PutFourCC(out, FourCC("nack"));
    PutFourCC(out, FourCC("(hw)"));
    return out;
}

namespace {
std::vector<uint8_t> LoaderReply(uint32_t command, uint32_t status, std::span<const uint8_t> payload) {
    std::vector<uint8_t> out;
    PutFourCC(out, FourCC("rply"));
    PutFourCC(out, command);
    PutFourCC(out, status);
    PutU32(out, static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) {
        out.insert(out.end(), payload.begin(), payload.end());
        PutU32(out, Crc32(payload));
    }
    PutFourCC(out, FourCC("eom."));
    return out;
}
}  // namespace

std::vector<uint8_t> LoaderReplyOk(uint32_t command, std::span<const uint8_t> payload) {
    return LoaderReply(command, FourCC("+ok!"), payload);
}

std::vector<uint8_t> LoaderReplyError(uint32_t command, uint32_t code, uint32_t v1, uint32_t v2,
                                      uint32_t v3, uint32_t v4) {
    std::vector<uint8_t> record;
    for (uint32_t v : {code, v1, v2, v3, v4}) PutU32(record, v);
    return LoaderReply(command, FourCC("-err"), record);
}

std::vector<uint8_t> LoaderTextMessage(std::string_view text) {
    std::vector<uint8_t> body;
    PutText(body, text);
    body.push_back(0);
    std::vector<uint8_t> out;
    PutFourCC(out, FourCC("*msg"));
    PutU32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    PutU32(out, Crc32(body));
    PutFourCC(out, FourCC("msg."));
    return out;
}

std::vector<uint8_t> LoaderMemoryDump(uint32_t first, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> out;
    PutFourCC(out, FourCC("*dmp"));
    PutU32(out, first);
    PutU32(out, first + static_cast<uint32_t>(bytes.size()) - (bytes.empty() ? 0u : 1u));
    PutU32(out, static_cast<uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
    PutU32(out, Crc32(bytes));
    PutFourCC(out, FourCC("dmp."));
    return out;
}

}  // namespace flashwire::sim
