// The flash loader's command handling on the NOR flash.
#include "sim/flash_loader.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace flashwire::sim {
namespace {

constexpr uint32_t kMaxCommandPayload = 64;
constexpr uint32_t kMaxTransferBuffer = 16u << 20;  // largest "TXDT" block the loader buffers
constexpr uint32_t kTestWord = 0x12345678;

std::vector<FrameParser::Command> LoaderCommands() {
    std::vector<FrameParser::Command> c;
    for (uint32_t cc : {FourCC("INFO"), FourCC("CHKC"), FourCC("BAUD"), FourCC("SETP"), FourCC("OPEN"),
                        FourCC("TXDT"), FourCC("ERAS"), FourCC("CLOS"), FourCC("VRFY"), FourCC("SUCK"),
                        FourCC("DONE")})
        c.push_back({cc, kMaxCommandPayload});
    return c;
}

FrameParser MakeParser(const PhoneConfig& cfg) {
    // Command payloads are at most 48 bytes of numbers: a "SYNC" among them
    // is the host resynchronising after a frame that lost bytes.
    return FrameParser(FourCC("EOT."), LoaderCommands(), {FourCC("SYNC")}, cfg.timing.frameIdleResetUs,
                       /*rawInFrame=*/true);
}

std::string Format(const char* fmt, auto... args) {
    char buf[200];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

uint32_t SectorWord(const SectorRef& s) { return static_cast<uint32_t>(s.chip) << 16 | s.sector; }

}  // namespace

FlashLoader::FlashLoader(PhoneBus& bus, uint64_t startUs)
    : bus_(bus), cfg_(bus.config()), parsers_{MakeParser(bus.config()), MakeParser(bus.config())},
      busyUntil_(startUs) {}

FlashLoader::Reply FlashLoader::Error(uint32_t code, uint32_t v1, uint32_t v2, uint32_t v3, uint32_t v4) {
    Reply r;
    r.ok = false;
    r.error = {code, v1, v2, v3, v4};
    return r;
}

uint64_t FlashLoader::StartAt(uint64_t us) const {
    return std::max(us, busyUntil_) + cfg_.timing.replyLatencyUs;
}

uint64_t FlashLoader::EraseUs(const SectorRef& s) const {
    const uint64_t one = cfg_.timing.eraseFixedUs + cfg_.timing.eraseUsPerKiB * ((s.size + 1023) / 1024);
    return one * std::max<uint32_t>(erasePasses_, 1);
}

std::vector<uint8_t> FlashLoader::Message(const std::string& text) const { return LoaderTextMessage(text); }

void FlashLoader::OnByte(unsigned uart, uint64_t us, uint8_t byte) {
    uart &= 1u;
    if (Holds(uart, us)) return Hold(uart, us, byte);
    ReleaseHeld(uart, us);  // kept while a frame on the other UART went quiet: they came first
    Dispatch(uart, us, byte);
    ReleaseHeld(uart ^ 1u, us);  // this byte may have ended a "TXDT" frame
}

// From the first character of a "TXDT" on one UART to the end of its frame,
// bytes that reach the other UART outside a frame of its own are kept. A UART
// that may itself be starting a "TXDT" frame keeps nothing, so the two never
// wait for each other.
bool FlashLoader::Holds(unsigned uart, uint64_t us) const {
    const FrameParser& own = parsers_[uart];
    if (StreamPending(uart) || own.inFrame() || own.MayBeReading(FourCC("TXDT"), us)) return false;
    return parsers_[uart ^ 1u].MayBeReading(FourCC("TXDT"), us);
}

void FlashLoader::Hold(unsigned uart, uint64_t us, uint8_t byte) {
    if (held_[uart].size() < kHeldBytesLimit) {
        held_[uart].push_back(byte);
        return;
    }
    if (heldOverflow_[uart]) return;
    heldOverflow_[uart] = true;
    bus_.LogFault({us, FaultKind::InputOverflow, Direction::ToPhone, uart,
                   Format("%zu bytes held while a TXDT frame arrives on the other UART", kHeldBytesLimit)});
}

void FlashLoader::ReleaseHeld(unsigned uart, uint64_t us) {
    if (held_[uart].empty() || Holds(uart, us)) return;
    const std::vector<uint8_t> bytes = std::exchange(held_[uart], {});
    heldOverflow_[uart] = false;
    for (uint8_t b : bytes) Dispatch(uart, us, b);
}

void FlashLoader::Dispatch(unsigned uart, uint64_t us, uint8_t byte) {
    if (StreamPending(uart)) {
        if (us < transfer_->armedAtUs) return LoseUnarmed(uart, us);
        StreamByte(uart, us, byte);
        return;
    }
    FrameParser& parser = parsers_[uart];
    if (!parser.inFrame()) {
        if (byte == '*') {
            // A host probes in a tight loop; a probe that comes while the
            // answer to an earlier one is still going out is not answered
            // again, so the answers cannot pile up behind a line that stays
            // unreadable for the host.
            if (us < probeAnswerEndUs_[uart]) return;
            bus_.Record({Stage::FlashLoader, uart, "*", {}, us, true});
            const char letter = uart == 0 ? 'A' : 'B';
            busyUntil_ = bus_.Send(uart, StartAt(us), std::string("#") + letter,
                                   {'#', static_cast<uint8_t>(letter)});
            probeAnswerEndUs_[uart] = busyUntil_;
            return;
        }
        if (byte == 'o') bus_.Record({Stage::FlashLoader, uart, "o", {}, us, true});
    }
    auto event = parser.Feed(byte, us);
    if (!event) return;
    if (event->kind == FrameEvent::Kind::Raw) {
        bus_.Record({Stage::FlashLoader, uart, "SYNC", {}, us, true});
        busyUntil_ = bus_.Send(uart, StartAt(us), "syn!", {'s', 'y', 'n', '!'});
        return;
    }
    HandleFrame(uart, *event, us);
}

void FlashLoader::HandleFrame(unsigned uart, const FrameEvent& e, uint64_t us) {
    bus_.Record({Stage::FlashLoader, uart, FourCCText(e.command), e.payload, us, e.wellFormed()});
    transfer_.reset();  // a new command ends a transfer that never completed
    if (!e.lengthOk) return Answer(uart, e.command, us, Error(kErrBadLength, e.announcedLength, kMaxCommandPayload));
    if (!e.crcOk) return Answer(uart, e.command, us, Error(kErrBadCrc, e.receivedCrc, Crc32(e.payload)));
    if (!e.endOk) return Answer(uart, e.command, us, Error(kErrBadEndMarker));

    const std::vector<uint8_t>& p = e.payload;
    auto expectLength = [&](std::size_t n) -> bool {
        if (p.size() == n) return true;
        Answer(uart, e.command, us, Error(kErrBadLength, static_cast<uint32_t>(p.size()), static_cast<uint32_t>(n)));
        return false;
    };
    switch (e.command) {
    case FourCC("INFO"): if (expectLength(36)) Answer(uart, e.command, us, Info(p)); return;
    case FourCC("CHKC"): if (expectLength(4)) Answer(uart, e.command, us, CheckConnection(p)); return;
    case FourCC("BAUD"): if (expectLength(8)) Answer(uart, e.command, us, Baud(p)); return;
    case FourCC("SETP"): if (expectLength(36)) Answer(uart, e.command, us, Setup(p)); return;
    case FourCC("OPEN"): if (expectLength(20)) Answer(uart, e.command, us, Open(p)); return;
    case FourCC("ERAS"): if (expectLength(12)) Answer(uart, e.command, us, Erase(p)); return;
    case FourCC("CLOS"): if (expectLength(4)) Answer(uart, e.command, us, Close(p)); return;
    case FourCC("VRFY"): if (expectLength(8)) Answer(uart, e.command, us, Verify(p)); return;
    case FourCC("SUCK"): if (expectLength(8)) Answer(uart, e.command, us, Suck(p)); return;
    case FourCC("DONE"): if (expectLength(0)) Answer(uart, e.command, us, Done(p)); return;
    case FourCC("TXDT"): break;
    default: return;
    }

    // "TXDT": the frame names the data streams that follow it.
    if (!expectLength(48)) return;
    Transfer t;
    t.commandUart = uart;
    t.address = GetU32(p, 0);
    t.length = GetU32(p, 4);
    t.lastActivityUs = us;
    t.armedAtUs = us + cfg_.timing.streamArmingUs;
    const uint32_t count = GetU32(p, 12) & 0xFFFFu;
    if (count < 1 || count > 2 || t.length > kMaxTransferBuffer)
        return Answer(uart, e.command, us, Error(kErrBadStreamTable, count, t.length));
    uint32_t expectedOffset = 0;
    for (unsigned k = 0; k < count; ++k) {
        Stream s;
        s.index = k;
        s.uart = GetU32(p, 16 + 16 * k);
        s.offset = GetU32(p, 20 + 16 * k);
        s.length = GetU32(p, 24 + 16 * k);
        s.crc = GetU32(p, 28 + 16 * k);
        if (s.uart > 1 || s.offset != expectedOffset || s.length > t.length - expectedOffset)
            return Answer(uart, e.command, us, Error(kErrBadStreamTable, k, s.uart, s.offset, s.length));
        expectedOffset += s.length;
        s.bytes.reserve(s.length);
        t.streams.push_back(std::move(s));
    }
    if (expectedOffset != t.length)
        return Answer(uart, e.command, us, Error(kErrBadStreamTable, count, t.length, expectedOffset));
    transfer_ = std::move(t);
    FinishTransfer(us);  // answers at once when every stream is empty
}

// A stream byte before the loader armed its receive: gone, as on a UART
// nobody reads. Logged once per transfer and UART.
void FlashLoader::LoseUnarmed(unsigned uart, uint64_t us) {
    uint32_t& lost = transfer_->lostBytes[uart];
    if (lost++ > 0) return;
    bus_.LogFault({us, FaultKind::StreamNotArmed, Direction::ToPhone, uart,
                   Format("TXDT stream byte %llu us after the frame, before the loader armed its receive (%llu us)",
                          static_cast<unsigned long long>(us + cfg_.timing.streamArmingUs - transfer_->armedAtUs),
                          static_cast<unsigned long long>(cfg_.timing.streamArmingUs))});
}

bool FlashLoader::StreamPending(unsigned uart) const {
    if (!transfer_) return false;
    return std::any_of(transfer_->streams.begin(), transfer_->streams.end(),
                       [&](const Stream& s) { return s.uart == uart && s.bytes.size() < s.length; });
}

FlashLoader::Stream* FlashLoader::PendingStream(unsigned uart) {
    if (!transfer_) return nullptr;
    for (Stream& s : transfer_->streams)
        if (s.uart == uart && s.bytes.size() < s.length) return &s;
    return nullptr;
}

void FlashLoader::StreamByte(unsigned uart, uint64_t us, uint8_t byte) {
    Stream* s = PendingStream(uart);
    if (!s) return;
    s->bytes.push_back(byte);
    transfer_->lastActivityUs = us;
    if (s->bytes.size() == s->length) FinishTransfer(us);
}

void FlashLoader::FinishTransfer(uint64_t us) {
    for (const Stream& s : transfer_->streams)
        if (s.bytes.size() < s.length) return;
    Transfer t = std::move(*transfer_);
    transfer_.reset();
    Reply r = TransferChecks(t.address, t.length);
    if (r.ok) {
        for (const Stream& s : t.streams) {
            const uint32_t crc = Crc32(s.bytes);
            if (crc != s.crc) {
                r = Error(kErrStreamCrc, s.index, s.uart, s.crc, crc);
                break;
            }
        }
    }
    if (r.ok) {
        const uint32_t at = t.address - open_->ref.first;
        for (const Stream& s : t.streams)
            std::copy(s.bytes.begin(), s.bytes.end(), open_->buffer.begin() + at + s.offset);
    }
    Answer(t.commandUart, FourCC("TXDT"), us, std::move(r));
}

FlashLoader::Reply FlashLoader::TransferChecks(uint32_t address, uint32_t length) const {
    if (length > cfg_.flashLoader.maxTxSize) return Error(kErrTooLong, length, cfg_.flashLoader.maxTxSize);
    if (!open_) return Error(kErrNoSectorOpen, address, length);
    const SectorRef& s = open_->ref;
    if (address < s.first || static_cast<uint64_t>(address) + length > static_cast<uint64_t>(s.first) + s.size)
        return Error(kErrOutsideSector, address, length, s.first, s.size);
    return Reply{};
}

uint64_t FlashLoader::NextTimerUs() const {
    uint64_t t = transfer_ ? transfer_->lastActivityUs + cfg_.timing.streamIdleUs : kNever;
    // Held bytes are read when the line of the frame they wait for goes quiet.
    for (unsigned uart : {0u, 1u})
        if (!held_[uart].empty()) t = std::min(t, parsers_[uart ^ 1u].QuietAtUs());
    return t;
}

void FlashLoader::OnTimer(uint64_t us) {
    for (unsigned uart : {0u, 1u}) ReleaseHeld(uart, us);
    if (!transfer_ || us < transfer_->lastActivityUs + cfg_.timing.streamIdleUs) return;
    Transfer t = std::move(*transfer_);
    transfer_.reset();
    for (const Stream& s : t.streams) {
        if (s.bytes.size() < s.length) {
            Answer(t.commandUart, FourCC("TXDT"), us,
                   Error(kErrStreamTimeout, s.index, s.length, static_cast<uint32_t>(s.bytes.size()), s.uart));
            return;
        }
    }
}

void FlashLoader::Answer(unsigned uart, uint32_t command, uint64_t us, Reply reply) {
    uint64_t t = StartAt(us);
    uint64_t recordsEnd = t;
    for (auto& rec : reply.records) {
        const std::string token = rec.size() >= 4 && rec[1] == 'd' ? "*dmp" : "*msg";
        recordsEnd = std::max(recordsEnd, bus_.Send(uart, t, token, std::move(rec)));
    }
    const uint64_t at = std::max(t + reply.workUs, recordsEnd);
    std::vector<uint8_t> bytes =
        reply.ok ? LoaderReplyOk(command, reply.payload)
                 : LoaderReplyError(command, reply.error[0], reply.error[1], reply.error[2], reply.error[3],
                                    reply.error[4]);
    busyUntil_ = std::max(at, bus_.Send(uart, at, FourCCText(command), std::move(bytes)));
    // A "BAUD" whose answer was turned into a refusal was refused: the rate stays.
    if (reply.ok && reply.switchUart < 2 && !bus_.LastSendRefused())
        bus_.SetRateWhenSent(reply.switchUart, reply.switchRate, busyUntil_);
}

FlashLoader::Reply FlashLoader::Info(const std::vector<uint8_t>&) {
    Reply r;
    const FlashLoaderConfig& f = cfg_.flashLoader;
    const NorFlash& flash = bus_.flash();
    const unsigned n = std::min(flash.chipCount(), 4u);
    PutU32(r.payload, static_cast<uint32_t>(f.majorVersion) << 8 | f.minorVersion);
    PutU32(r.payload, n);
    for (unsigned i = 0; i < 4; ++i) {
        if (i < n) {
            const ChipConfig& c = flash.chip(i);
            PutU32(r.payload, static_cast<uint32_t>(c.amdManufacturer) << 16);
            PutU32(r.payload, c.amdDevice);
            PutU32(r.payload, static_cast<uint32_t>(c.intelManufacturer) << 16);
            PutU32(r.payload, c.intelDevice);
            PutU32(r.payload, c.firstAddress);
        } else {
            for (int k = 0; k < 5; ++k) PutU32(r.payload, 0);
        }
    }
    PutU32(r.payload, f.maxTxSize);
    PutU32(r.payload, f.maxRxSize);
    for (uint32_t s : f.speeds) PutU32(r.payload, s);
    return r;
}

FlashLoader::Reply FlashLoader::CheckConnection(const std::vector<uint8_t>& p) {
    const uint32_t word = GetU32(p, 0);
    if (word != kTestWord) return Error(kErrBadTestWord, word, kTestWord);
    return Reply{};
}

FlashLoader::Reply FlashLoader::Baud(const std::vector<uint8_t>& p) {
    const uint32_t uart = GetU32(p, 0), rate = GetU32(p, 4);
    if (uart > 1) return Error(kErrBadUart, uart);
    const auto& speeds = cfg_.flashLoader.speeds;
    if (rate == 0 || std::find(speeds.begin(), speeds.end(), rate) == speeds.end())
        return Error(kErrBadBaudRate, uart, rate);
    Reply r;
    r.switchUart = uart;
    r.switchRate = rate;
    return r;
}

FlashLoader::Reply FlashLoader::Setup(const std::vector<uint8_t>& p) {
    const NorFlash& flash = bus_.flash();
    const unsigned n = std::min(flash.chipCount(), 4u);
    for (unsigned i = 0; i < n; ++i) {
        const uint32_t device = GetU32(p, 4 + 8 * i);
        const uint32_t word = GetU32(p, 8 + 8 * i);
        const uint8_t maker = static_cast<uint8_t>(word >> 24);
        const ChipConfig& c = flash.chip(i);
        const bool amd = device == c.amdDevice && maker == c.amdManufacturer;
        const bool intel = device == c.intelDevice && maker == c.intelManufacturer;
        if (!amd && !intel) return Error(kErrChipMismatch, i, device, maker, c.amdDevice);
    }
    erasePasses_ = std::clamp<uint32_t>(GetU32(p, 0), 1, 16);
    open_.reset();
    lastClosed_.reset();
    setUp_ = true;
    Reply r;
    PutU32(r.payload, n);
    return r;
}

FlashLoader::Reply FlashLoader::Open(const std::vector<uint8_t>& p) {
    if (!setUp_) return Error(kErrNotSetUp);
    const uint32_t which = GetU32(p, 0), first = GetU32(p, 4), length = GetU32(p, 8);
    const uint8_t flags = static_cast<uint8_t>(GetU32(p, 12));
    const auto ref = bus_.flash().Sector(which >> 16, which & 0xFFFFu);
    if (!ref) return Error(kErrBadSector, which, first, length, 0);
    if (ref->first != first || ref->size != length) return Error(kErrBadSector, which, first, length, ref->first);
    if (open_ && (open_->ref.chip != ref->chip || open_->ref.sector != ref->sector))
        return Error(kErrSectorStillOpen, SectorWord(open_->ref), which);
    OpenSector s;
    s.ref = *ref;
    s.flags = flags;
    Reply r;
    if (flags & 0x02) {
        s.buffer = bus_.flash().Read(ref->first, ref->size);
        r.workUs = cfg_.timing.readNsPerByte * ref->size / 1000;
    } else {
        s.buffer.assign(ref->size, 0xFF);
    }
    open_ = std::move(s);
    lastClosed_.reset();
    if (cfg_.flashLoader.textMessages)
        r.records.push_back(Message(Format("Opening sector %u/%u at 0x%08x (%u bytes, flags 0x%02x)", ref->chip,
                                           ref->sector, ref->first, ref->size, flags)));
    return r;
}

FlashLoader::Reply FlashLoader::Erase(const std::vector<uint8_t>& p) {
    const uint32_t which = GetU32(p, 0), first = GetU32(p, 4), length = GetU32(p, 8);
    if (!open_) return Error(kErrNoSectorOpen, which, first, length);
    const SectorRef& s = open_->ref;
    if (SectorWord(s) != which || s.first != first || s.size != length)
        return Error(kErrBadSector, which, first, length, s.first);
    bus_.flash().EraseSector(s);
    open_->erased = true;
    Reply r;
    r.workUs = EraseUs(s);
    if (cfg_.flashLoader.textMessages) r.records.push_back(Message(Format("Erasing sector %u/%u", s.chip, s.sector)));
    return r;
}

FlashLoader::Reply FlashLoader::Close(const std::vector<uint8_t>& p) {
    const uint32_t sector = GetU32(p, 0);
    if (!open_) {
        // A repeated "CLOS" (its answer was lost) of the sector just closed.
        if (lastClosed_ && lastClosed_->second == sector) return Reply{};
        return Error(kErrNoSectorOpen, sector);
    }
    OpenSector& o = open_.value();
    if (o.ref.sector != sector) return Error(kErrBadSector, sector, SectorWord(o.ref));
    if ((o.flags & 0x08) && !o.erased) return Error(kErrNotErased, SectorWord(o.ref), o.flags);
    Reply r;
    NorFlash& flash = bus_.flash();
    if (!o.erased) {
        flash.EraseSector(o.ref);
        r.workUs += EraseUs(o.ref);
    }
    if (cfg_.flashLoader.textMessages)
        r.records.push_back(Message(Format("Programming sector %u/%u", o.ref.chip, o.ref.sector)));
    const uint64_t programmed = flash.Program(o.ref.first, o.buffer);
    r.workUs += cfg_.timing.programNsPerByte * programmed / 1000;
    r.workUs += cfg_.timing.readNsPerByte * o.ref.size / 1000;
    const std::vector<uint8_t> back = flash.Read(o.ref.first, o.ref.size);
    if (cfg_.flashLoader.memoryDumps) {
        const std::size_t n = std::min<std::size_t>(back.size(), 64);
        r.records.push_back(LoaderMemoryDump(o.ref.first, std::span<const uint8_t>(back).first(n)));
    }
    const auto mismatch = std::mismatch(back.begin(), back.end(), o.buffer.begin());
    if (mismatch.first != back.end()) {
        const uint32_t offset = static_cast<uint32_t>(mismatch.first - back.begin());
        Reply e = Error(kErrVerifyFailed, o.ref.first + offset, *mismatch.second, *mismatch.first, SectorWord(o.ref));
        e.workUs = r.workUs;
        e.records = std::move(r.records);
        o.erased = false;  // a repeated "CLOS" erases and programs again
        return e;
    }
    lastClosed_ = std::make_pair(o.ref.chip, o.ref.sector);
    open_.reset();
    return r;
}

FlashLoader::Reply FlashLoader::Verify(const std::vector<uint8_t>& p) {
    const uint32_t first = GetU32(p, 0), length = GetU32(p, 4);
    if (!bus_.flash().Contains(first, length)) return Error(kErrOutsideFlash, first, length);
    Reply r;
    PutU32(r.payload, Crc32(bus_.flash().Read(first, length)));
    r.workUs = cfg_.timing.readNsPerByte * length / 1000;
    return r;
}

FlashLoader::Reply FlashLoader::Suck(const std::vector<uint8_t>& p) {
    const uint32_t first = GetU32(p, 0), length = GetU32(p, 4);
    if (length > cfg_.flashLoader.maxRxSize) return Error(kErrTooLong, length, cfg_.flashLoader.maxRxSize);
    if (!bus_.flash().Contains(first, length)) return Error(kErrOutsideFlash, first, length);
    Reply r;
    r.payload = bus_.flash().Read(first, length);
    r.workUs = cfg_.timing.readNsPerByte * length / 1000;
    return r;
}

FlashLoader::Reply FlashLoader::Done(const std::vector<uint8_t>&) {
    open_.reset();  // a sector never closed is dropped: its flash is untouched
    setUp_ = false;
    return Reply{};
}

}  // namespace flashwire::sim
