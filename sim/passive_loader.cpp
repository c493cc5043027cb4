// The passive boot ROM's and setup loader's wake-up and framed commands.
#include "sim/passive_loader.h"

#include <algorithm>

namespace flashwire::sim {

PassiveLoaderSetup PassiveBootRomSetup(const PhoneConfig& config) {
    const PassiveBootRomConfig& p = config.passive;
    PassiveLoaderSetup s;
    s.stage = Stage::PassiveBootRom;
    s.uart = p.uartNumber & 1u;
    s.maxTransferSize = p.maxTransferSize;
    s.listenWindowUs = p.listenWindowUs;
    const uint32_t word0 = (p.flag31 ? 0x80000000u : 0u) | static_cast<uint32_t>(p.type) << 16 |
                           static_cast<uint32_t>(p.majorVersion) << 8 | p.minorVersion;
    PutU32(s.info, word0);
    PutU32(s.info, p.romMaskId);
    PutU32(s.info, p.uartNumber);
    PutU32(s.info, p.maxTransferSize);
    if (p.hasIdRegister) {
        PutU32(s.info, 4);
        PutU32(s.info, p.idRegister);
    }
    return s;
}

PassiveLoaderSetup SetupLoaderSetup(const PhoneConfig& config) {
    const SetupLoaderConfig& c = config.setupLoader;
    PassiveLoaderSetup s;
    s.stage = Stage::SetupLoader;
    s.uart = c.uartNumber & 1u;
    s.maxTransferSize = c.maxTransferSize;
    PutU32(s.info, static_cast<uint32_t>(c.type) << 16 | static_cast<uint32_t>(c.majorVersion) << 8 |
                       c.minorVersion);
    PutU32(s.info, 0);
    PutU32(s.info, c.uartNumber);
    PutU32(s.info, c.maxTransferSize);
    return s;
}

namespace {
// "data" carries an 8-byte header; the phone takes blocks up to its maximum
// transfer size (the host stays 256 bytes below it).
std::vector<FrameParser::Command> PassiveCommands(uint32_t maxTransfer) {
    const uint32_t maxData = maxTransfer > UINT32_MAX - 8 ? UINT32_MAX : maxTransfer + 8;
    return {{FourCC("info"), 64}, {FourCC("data"), std::min<uint32_t>(maxData, 1u << 20)}, {FourCC("done"), 64}};
}
}  // namespace

PassiveLoader::PassiveLoader(PhoneBus& bus, PassiveLoaderSetup setup, uint64_t startUs)
    : bus_(bus), setup_(std::move(setup)), cfg_(bus.config()), startUs_(startUs),
      parser_(FourCC("(pc)"), PassiveCommands(setup_.maxTransferSize), {FourCC("sync")},
              bus.config().timing.frameIdleResetUs) {}

uint64_t PassiveLoader::ReplyAt(uint64_t us) const {
    return std::max(us, busyUntil_) + cfg_.timing.replyLatencyUs;
}

void PassiveLoader::OnByte(unsigned uart, uint64_t us, uint8_t byte) {
    if (uart != setup_.uart || done_) return;
    const bool listening = awake_ || setup_.listenWindowUs == 0 || us - startUs_ <= setup_.listenWindowUs;
    if (!parser_.inFrame()) {
        if (byte == '?') {
            if (listening) {
                bus_.Record({setup_.stage, uart, "?", {}, us, true});
                busyUntil_ = bus_.Send(uart, ReplyAt(us), "!", {'!'});
            }
            return;
        }
        if (byte == '#' && !awake_) {
            bus_.Record({setup_.stage, uart, "#", {}, us, true});
            awake_ = true;
            return;
        }
    }
    auto event = parser_.Feed(byte, us);
    if (!event) return;
    if (event->kind == FrameEvent::Kind::Raw) {
        if (!listening) return;
        // A resynchronisation request also stands in for a '#' that was lost:
        // the host, which saw its pings answered, would otherwise send "sync"
        // for ever.
        bus_.Record({setup_.stage, uart, "sync", {}, us, true});
        awake_ = true;
        busyUntil_ = bus_.Send(uart, ReplyAt(us), "-()-", {'-', '(', ')', '-'});
        return;
    }
    if (!awake_) return;  // frames before the '#' are ignored
    HandleFrame(*event, us);
}

void PassiveLoader::HandleFrame(const FrameEvent& e, uint64_t us) {
    const std::string token = FourCCText(e.command);
    const unsigned uart = setup_.uart;
    bus_.Record({setup_.stage, uart, token, e.payload, us, e.wellFormed()});
    const uint64_t at = ReplyAt(us);
    auto nack = [&] { busyUntil_ = bus_.Send(uart, at, token, BootReplyNack(e.command)); };
    if (!e.wellFormed()) return nack();

    if (e.command == FourCC("info")) {
        busyUntil_ = bus_.Send(uart, at, token, BootReplyOk(e.command, setup_.info));
        return;
    }
    if (e.command == FourCC("data")) {
        if (e.payload.size() < 8) return nack();
        const uint32_t address = GetU32(e.payload, 0);
        const uint32_t count = GetU32(e.payload, 4);
        if (count != e.payload.size() - 8 || count > setup_.maxTransferSize) return nack();
        if (!ram_.Write(address, std::span<const uint8_t>(e.payload).subspan(8))) return nack();
        busyUntil_ = bus_.Send(uart, at, token, BootReplyOk(e.command, {}));
        return;
    }
    // "done": answer, then run what was loaded.
    const uint64_t end = bus_.Send(uart, at, token, BootReplyOk(e.command, {}));
    busyUntil_ = end;
    done_ = true;
    bus_.Run(ram_.Image(), end + cfg_.timing.loaderStartUs, setup_.stage);
}

}  // namespace flashwire::sim
