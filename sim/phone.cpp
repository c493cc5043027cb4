// The phone: power, the program that runs, its UARTs, faults and logs.
#include "sim/phone.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>

#include "sim/active_boot_rom.h"
#include "sim/fault_injector.h"
#include "sim/flash_loader.h"
#include "sim/frame_codec.h"
#include "sim/loader_image.h"
#include "sim/passive_loader.h"
#include "sim/program.h"
#include "sim/uart_line.h"

namespace flashwire::sim {

const char* StageName(Stage stage) {
    switch (stage) {
    case Stage::ActiveBootRom: return "active boot ROM";
    case Stage::PassiveBootRom: return "passive boot ROM";
    case Stage::SetupLoader: return "setup loader";
    case Stage::FlashLoader: return "flash loader";
    }
    return "?";
}

const char* FaultKindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::BitFlip: return "bit flip";
    case FaultKind::Drop: return "drop";
    case FaultKind::Garbage: return "garbage";
    case FaultKind::Stall: return "stall";
    case FaultKind::ReplyRefused: return "reply refused";
    case FaultKind::ReplySilenced: return "reply silenced";
    case FaultKind::ReplyCorrupted: return "reply corrupted";
    case FaultKind::Silent: return "silent";
    case FaultKind::Reboot: return "reboot";
    case FaultKind::RateMismatch: return "rate mismatch";
    case FaultKind::InputOverflow: return "input overflow";
    case FaultKind::StreamNotArmed: return "stream not armed";
    }
    return "?";
}

struct Phone::State final : PhoneBus {
    PhoneConfig cfg;
    NorFlash norFlash;
    std::array<UartLine, 2> lines;
    std::vector<FaultRecord> faultLog;
    FaultInjector faults;
    std::unique_ptr<Program> program;
    uint64_t now = 0;
    uint64_t powerOnAt = kNever;
    uint64_t bootAt = kNever;
    bool on = false;
    bool halted = false;
    bool silent = false;
    bool resetRequested = false;
    bool lastSendRefused = false;
    bool rebootAtUsDone = false;
    struct PendingRun {
        LoadedImage image;
        uint64_t at;
        Stage by;
    };
    std::optional<PendingRun> pendingRun;
    Stage lastStage = Stage::PassiveBootRom;
    std::deque<CommandRecord> commands;
    uint64_t commandCount = 0;  // commands received since power-up of the model (ClearLogs keeps it)
    std::map<std::string, uint32_t> replyCounts;
    ReplyFilter filter;
    bool wireOn = false;
    std::vector<WireRecord> wire;
    LoadedImage setupImage, flashImage;
    uint32_t boots = 0;
    uint32_t endByteRestarts = 0;
    std::array<uint64_t, 2> rxBytes{}, txBytes{};
    std::array<bool, 2> rxGarbled{}, txGarbled{};

    State(const PhoneConfig& config, uint64_t seed)
        : cfg(config), norFlash(config.chips),
          faults(cfg.faults, seed, [this](FaultRecord r) { faultLog.push_back(std::move(r)); }) {
        for (const FlashContents& c : cfg.initialFlash) norFlash.Store(c.address, c.bytes);
        for (const StuckBits& s : cfg.faults.stuckBits) norFlash.SetStuckBits(s.address, s.mask);
        for (UartLine& l : lines) l.Reset(cfg.initialBaud, 0);
        lastStage = cfg.bootRom == BootRomKind::Active ? Stage::ActiveBootRom : Stage::PassiveBootRom;
    }

    // ---- PhoneBus
    NorFlash& flash() override { return norFlash; }
    const PhoneConfig& config() const override { return cfg; }

    void Record(CommandRecord record) override {
        commands.push_back(std::move(record));
        const uint64_t count = ++commandCount;
        const CommandRecord& r = commands.back();
        if (count == cfg.faults.rebootAtCommand) {
            faultLog.push_back({r.us, FaultKind::Reboot, Direction::ToPhone, r.uart,
                                "reboot at command " + std::to_string(count) + " (" + r.token + ")"});
            resetRequested = true;
        }
        if (count == cfg.faults.silentAtCommand) GoSilent(r.us, "at command " + std::to_string(count) + " (" + r.token + ")");
        if (cfg.restartOnEndByte && r.stage == Stage::FlashLoader && r.token == "o" && !resetRequested) {
            ++endByteRestarts;
            resetRequested = true;  // done once the byte has been handled
        }
    }

    bool LastSendRefused() const override { return lastSendRefused; }

    void LogFault(FaultRecord record) override { faultLog.push_back(std::move(record)); }

    void SetRateWhenSent(unsigned uart, uint32_t baud, uint64_t notBeforeUs) override {
        lines[uart & 1u].SetRateWhenSent(baud, notBeforeUs);
    }

    void Run(LoadedImage image, uint64_t us, Stage loadedBy) override {
        pendingRun = PendingRun{std::move(image), std::max(us, now), loadedBy};
    }

    uint64_t Send(unsigned uart, uint64_t us, const std::string& token, std::vector<uint8_t> bytes) override {
        uart &= 1u;
        lastSendRefused = false;
        if (!on || silent || resetRequested || !program) return us;
        const Stage stage = program->stage();
        const uint32_t occurrence = replyCounts[token]++;
        if (filter) filter(OutgoingReply{stage, token, occurrence, us}, bytes);
        if (const ReplyFault* f = faults.ReplyFaultFor(token, occurrence)) {
            ApplyReplyFault(*f, stage, token, occurrence, uart, us, bytes);
            lastSendRefused = f->kind == ReplyFaultKind::Refuse;
        }
        uint64_t last = us;
        std::size_t queued = 0;
        for (uint8_t b : bytes) {
            if (const uint64_t until = faults.StallAt(Direction::ToHost, uart, us, txBytes[uart])) lines[uart].Hold(until);
            auto queue = [&](uint8_t out) {
                last = lines[uart].Queue(us, out);
                ++txBytes[uart];
                ++queued;
                if (wireOn) wire.push_back({last, Direction::ToHost, uart, out});
            };
            if (!faults.lineFaultsConfigured(Direction::ToHost, uart)) {
                queue(b);
                continue;
            }
            for (uint8_t out : faults.LineByte(Direction::ToHost, uart, us, b)) queue(out);
        }
        lines[uart].DeliverTogether(queued);
        return last;
    }

    void ApplyReplyFault(const ReplyFault& f, Stage stage, const std::string& token, uint32_t occurrence,
                         unsigned uart, uint64_t us, std::vector<uint8_t>& bytes) {
        const std::string what = token + " #" + std::to_string(occurrence);
        const bool framed = bytes.size() >= 16 && token.size() == 4;
        switch (f.kind) {
        case ReplyFaultKind::Silence:
            faultLog.push_back({us, FaultKind::ReplySilenced, Direction::ToHost, uart, what});
            bytes.clear();
            return;
        case ReplyFaultKind::Refuse: {
            faultLog.push_back({us, FaultKind::ReplyRefused, Direction::ToHost, uart, what});
            const uint32_t cc = token.size() == 4 ? GetU32(std::span<const uint8_t>(
                                                                reinterpret_cast<const uint8_t*>(token.data()), 4), 0)
                                                  : 0;
            const bool bootFrame = token == "info" || token == "data" || token == "done";
            if (stage == Stage::FlashLoader && framed && token != "*msg" && token != "*dmp")
                bytes = LoaderReplyError(cc, kErrInjected, occurrence, 0, 0, 0);
            else if (bootFrame)
                bytes = BootReplyNack(cc);
            else
                std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>('?'));
            return;
        }
        case ReplyFaultKind::BadCrc:
            faultLog.push_back({us, FaultKind::ReplyCorrupted, Direction::ToHost, uart, what});
            if (framed) bytes[bytes.size() - 5] ^= 0x01;  // the CRC's (or the empty length's) last byte
            else for (uint8_t& b : bytes) b = static_cast<uint8_t>(~b);
            return;
        }
    }

    // ---- Power and programs
    void GoSilent(uint64_t us, const std::string& why) {
        if (silent) return;
        silent = true;
        faultLog.push_back({us, FaultKind::Silent, Direction::ToHost, 0, "silent " + why});
        for (UartLine& l : lines) l.DropAfter(us);
    }

    void Reset(uint64_t us) {
        resetRequested = false;
        on = true;
        halted = false;
        ++boots;
        program.reset();
        pendingRun.reset();
        setupImage = {};
        flashImage = {};
        for (UartLine& l : lines) l.Reset(cfg.initialBaud, us);
        bootAt = us + cfg.timing.bootDelayUs;
    }

    void Boot(uint64_t us) {
        bootAt = kNever;
        if (cfg.bootRom == BootRomKind::Active)
            program = std::make_unique<ActiveBootRom>(*this, us);
        else
            program = std::make_unique<PassiveLoader>(*this, PassiveBootRomSetup(cfg), us);
        lastStage = program->stage();
    }

    void StartImage(PendingRun run) {
        ImageKind kind = IdentifyImage(run.image.bytes);
        if (kind == ImageKind::Unknown && !cfg.requireLoaderSignature && !run.image.bytes.empty()) {
            const bool needsSetup = run.by == Stage::PassiveBootRom &&
                                    (cfg.passive.type == 5 || cfg.passive.type == 4);
            kind = needsSetup ? ImageKind::SetupLoader : ImageKind::FlashLoader;
        }
        program.reset();
        switch (kind) {
        case ImageKind::SetupLoader:
            setupImage = std::move(run.image);
            program = std::make_unique<PassiveLoader>(*this, SetupLoaderSetup(cfg), run.at);
            break;
        case ImageKind::FlashLoader:
            flashImage = std::move(run.image);
            program = std::make_unique<FlashLoader>(*this, run.at);
            break;
        case ImageKind::Unknown:
            halted = true;  // garbage runs nowhere: the phone stays silent
            return;
        }
        lastStage = program->stage();
    }

    uint64_t NextEvent() const {
        uint64_t t = kNever;
        t = std::min(t, powerOnAt);
        if (on) {
            t = std::min(t, bootAt);
            if (pendingRun) t = std::min(t, pendingRun->at);
            if (program && !halted) t = std::min(t, program->NextTimerUs());
            if (!rebootAtUsDone) t = std::min(t, cfg.faults.rebootAtUs);
            if (!silent) t = std::min(t, cfg.faults.silentAtUs);
        }
        return t;
    }

    void RunUntil(uint64_t us) {
        for (;;) {
            const uint64_t t = NextEvent();
            if (t == kNever || t > us) break;
            now = std::max(now, t);
            if (t == powerOnAt) {
                powerOnAt = kNever;
                Reset(t);
            } else if (on && !rebootAtUsDone && t == cfg.faults.rebootAtUs) {
                rebootAtUsDone = true;
                faultLog.push_back({t, FaultKind::Reboot, Direction::ToPhone, 0, "reboot at time"});
                Reset(t);
            } else if (on && !silent && t == cfg.faults.silentAtUs) {
                GoSilent(t, "at time");
            } else if (on && t == bootAt) {
                Boot(t);
            } else if (on && pendingRun && t == pendingRun->at) {
                PendingRun run = std::move(*pendingRun);
                pendingRun.reset();
                StartImage(std::move(run));
            } else if (program && !halted && program->NextTimerUs() == t) {
                program->OnTimer(t);
                if (resetRequested) Reset(t);
            } else {
                break;  // nothing due (cannot happen); never spin
            }
        }
        now = std::max(now, us);
    }

    void HostByte(unsigned uart, uint64_t us, uint8_t byte, uint32_t pcBaud) {
        uart &= 1u;
        RunUntil(us);
        const uint64_t index = rxBytes[uart]++;
        if (wireOn) wire.push_back({us, Direction::ToPhone, uart, byte});
        if (!on) return;
        if (const uint64_t until = faults.StallAt(Direction::ToPhone, uart, us, index)) lines[uart].Hold(until);
        const uint32_t rate = lines[uart].RateAt(us);
        const bool garbled = rate != pcBaud;
        if (garbled) {
            if (!rxGarbled[uart])
                faultLog.push_back({us, FaultKind::RateMismatch, Direction::ToPhone, uart,
                                    "PC at " + std::to_string(pcBaud) + ", phone at " + std::to_string(rate)});
            byte = GarbleByte(byte, pcBaud, rate);
        }
        rxGarbled[uart] = garbled;
        auto deliver = [&](uint8_t b) {
            if (!program || halted) return false;
            program->OnByte(uart, us, b);
            if (!resetRequested) return true;
            Reset(us);
            return false;
        };
        if (!faults.lineFaultsConfigured(Direction::ToPhone, uart)) {
            deliver(byte);
            return;
        }
        for (uint8_t b : faults.LineByte(Direction::ToPhone, uart, us, byte))
            if (!deliver(b)) break;
    }

    std::vector<TimedByte> TakeOutput(unsigned uart, uint64_t upToUs, uint32_t pcBaud) {
        uart &= 1u;
        RunUntil(upToUs);
        uint32_t garbledCount = 0;
        std::vector<TimedByte> out = lines[uart].Take(upToUs, pcBaud, &garbledCount);
        if (garbledCount != 0 && !txGarbled[uart])
            faultLog.push_back({out.front().us, FaultKind::RateMismatch, Direction::ToHost, uart,
                                std::to_string(garbledCount) + " byte(s) sent at another rate than the PC's " +
                                    std::to_string(pcBaud)});
        if (!out.empty()) txGarbled[uart] = garbledCount != 0;
        return out;
    }
};

Phone::Phone(const PhoneConfig& config, uint64_t seed) : state_(std::make_unique<State>(config, seed)) {}
Phone::~Phone() = default;

void Phone::PowerOn(uint64_t us) { state_->powerOnAt = std::max(us, state_->now); }
void Phone::HostByte(unsigned uart, uint64_t us, uint8_t byte, uint32_t pcBaud) {
    state_->HostByte(uart, us, byte, pcBaud);
}
void Phone::RunUntil(uint64_t us) { state_->RunUntil(us); }
std::vector<TimedByte> Phone::TakeOutput(unsigned uart, uint64_t upToUs, uint32_t pcBaud) {
    return state_->TakeOutput(uart, upToUs, pcBaud);
}
uint64_t Phone::NextOutputUs(unsigned uart) const { return state_->lines[uart & 1u].NextArrivalUs(); }
uint64_t Phone::NextEventUs() const { return state_->NextEvent(); }
uint64_t Phone::NowUs() const { return state_->now; }

const PhoneConfig& Phone::config() const { return state_->cfg; }
bool Phone::poweredOn() const { return state_->on; }
bool Phone::halted() const { return state_->halted || state_->silent; }
Stage Phone::stage() const { return state_->program ? state_->program->stage() : state_->lastStage; }
const NorFlash& Phone::flash() const { return state_->norFlash; }
NorFlash& Phone::flash() { return state_->norFlash; }
const std::deque<CommandRecord>& Phone::commandLog() const { return state_->commands; }
const std::vector<FaultRecord>& Phone::faultLog() const { return state_->faultLog; }
uint64_t Phone::bytesFromHost(unsigned uart) const { return state_->rxBytes[uart & 1u]; }
uint64_t Phone::bytesToHost(unsigned uart) const { return state_->txBytes[uart & 1u]; }
uint32_t Phone::uartBaud(unsigned uart) const { return state_->lines[uart & 1u].RateAt(state_->now); }
const LoadedImage& Phone::setupLoaderImage() const { return state_->setupImage; }
const LoadedImage& Phone::flashLoaderImage() const { return state_->flashImage; }
uint32_t Phone::bootCount() const { return state_->boots; }
uint32_t Phone::endByteRestarts() const { return state_->endByteRestarts; }
void Phone::SetReplyFilter(ReplyFilter filter) { state_->filter = std::move(filter); }
void Phone::EnableWireLog(bool on) { state_->wireOn = on; }
const std::vector<WireRecord>& Phone::wireLog() const { return state_->wire; }
void Phone::ClearLogs() {
    state_->commands.clear();
    state_->faultLog.clear();
    state_->wire.clear();
}

}  // namespace flashwire::sim
