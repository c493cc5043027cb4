// A host and a simulated phone for whole boot-stage runs on the virtual clock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boot/boot_tokens.h"
#include "image/region_list.h"
#include "job/context.h"
#include "serial/com_port.h"
#include "sim/phone.h"
#include "sim/phone_config.h"
#include "sim/virtual_link.h"
#include "support/forwarding_port.h"
#include "wire/crc32.h"
#include "wire/four_cc.h"
#include "wire/le32.h"

namespace flashwire::boot_test {

struct Line {
    int level = 0;
    std::string text;
    uint32_t ms = 0;  // virtual time of the report
};

// The host's side of the handle: FlashHandle first, so the callbacks find the record.
struct Host {
    FlashHandle handle{};
    platform::Clock* clock = nullptr;
    std::vector<Line> lines;
    std::vector<std::string> statuses;
    std::vector<std::string> progressTexts;
    std::vector<uint32_t> progressTotals;
    // Updates ("u<done>") and ends ("end") in the order they came.
    std::vector<std::string> progressEvents;
};

// Records every priority the stage sets; the rest goes to the system's threading.
class RecordingThreading final : public platform::Threading {
public:
    explicit RecordingThreading(platform::Threading* inner) : inner_(inner) {}
    std::unique_ptr<platform::Event> CreateEvent(bool manualReset, bool initiallySet) override {
        return inner_->CreateEvent(manualReset, initiallySet);
    }
    std::unique_ptr<platform::Thread> StartThread(std::size_t stackBytes,
                                                  std::function<uint32_t()> body) override {
        return inner_->StartThread(stackBytes, std::move(body));
    }
    int CurrentPriority() override { return current; }
    void SetCurrentPriority(int priority) override {
        current = priority;
        history.push_back(priority);
    }
    int current = platform::kPriorityNormal;
    std::vector<int> history;

private:
    platform::Threading* inner_;
};

// Raises the host's abort request once virtual time reaches abortAtMs (a
// safety net by default, so no test can wait for ever). Polled by the clock
// and the ports below, so every kind of wait sees it.
class AbortTrigger {
public:
    AbortTrigger(sim::VirtualLink& link, FlashContext*& ctx) : link_(link), ctx_(ctx) {}
    void Poll() {
        const auto now = static_cast<uint32_t>(link_.NowUs() / 1000);
        if (now >= abortAtMs && ctx_ != nullptr && !ctx_->abortRequested.load()) {
            abortRaisedAtMs = now;
            ctx_->abortRequested = true;
        }
    }
    uint32_t abortAtMs = 20 * 60 * 1000;
    uint32_t abortRaisedAtMs = 0;

private:
    sim::VirtualLink& link_;
    FlashContext*& ctx_;
};

class TriggerClock final : public platform::Clock {
public:
    TriggerClock(platform::Clock& inner, AbortTrigger& trigger) : inner_(inner), trigger_(trigger) {}
    uint32_t Ticks() override {
        trigger_.Poll();
        return inner_.Ticks();
    }
    void Sleep(uint32_t ms) override {
        inner_.Sleep(ms);
        trigger_.Poll();
    }

private:
    platform::Clock& inner_;
    AbortTrigger& trigger_;
};

class TriggerPort final : public test_support::ForwardingPort {
public:
    TriggerPort(std::unique_ptr<platform::SerialPort> inner, AbortTrigger& trigger)
        : ForwardingPort(std::move(inner)), trigger_(trigger) {}

private:
    void AfterWait() override { trigger_.Poll(); }

    AbortTrigger& trigger_;
};

class TriggerSerial final : public platform::SerialProvider {
public:
    TriggerSerial(platform::SerialProvider& inner, AbortTrigger& trigger) : inner_(inner), trigger_(trigger) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped, uint32_t& systemError) override {
        auto port = inner_.Open(portNumber, overlapped, systemError);
        if (!port) return port;
        return std::make_unique<TriggerPort>(std::move(port), trigger_);
    }

private:
    platform::SerialProvider& inner_;
    AbortTrigger& trigger_;
};

inline sim::PhoneConfig PassivePhone() {
    sim::PhoneConfig config;
    config.bootRom = sim::BootRomKind::Passive;
    config.requireLoaderSignature = false;
    return config;
}

inline sim::PhoneConfig ActivePhone() {
    sim::PhoneConfig config;
    config.bootRom = sim::BootRomKind::Active;
    config.requireLoaderSignature = false;
    return config;
}

class BootRig {
public:
    explicit BootRig(const sim::PhoneConfig& config, uint64_t seed = 1)
        : link(config, seed),
          threading(link.Services().threading),
          trigger(link, rawCtx),
          clock(link.clock(), trigger),
          serial(link.serial(), trigger) {
        ctx = std::make_unique<FlashContext>();
        rawCtx = ctx.get();
        ctx->services = link.Services();
        ctx->services.clock = &clock;
        ctx->services.serial = &serial;
        ctx->services.threading = &threading;
        host.handle.size = sizeof(FlashHandle);
        host.clock = &link.clock();
        host.handle.message = [](FlashHandle* h, int32_t level, const char* text) -> int32_t {
            Host* self = reinterpret_cast<Host*>(h);
            self->lines.push_back({level, text, self->clock->Ticks()});
            return 0;
        };
        host.handle.status = [](FlashHandle* h, const char* text) -> int32_t {
            reinterpret_cast<Host*>(h)->statuses.emplace_back(text);
            return 0;
        };
        host.handle.progressBegin = [](FlashHandle* h, const char* text, uint32_t total) -> int32_t {
            reinterpret_cast<Host*>(h)->progressTexts.emplace_back(text);
            reinterpret_cast<Host*>(h)->progressTotals.push_back(total);
            return 0;
        };
        host.handle.progressUpdate = [](FlashHandle* h, uint32_t done, uint32_t) -> int32_t {
            reinterpret_cast<Host*>(h)->progressEvents.push_back("u" + std::to_string(done));
            return 0;
        };
        host.handle.progressEnd = [](FlashHandle* h) -> int32_t {
            reinterpret_cast<Host*>(h)->progressEvents.emplace_back("end");
            return 0;
        };
        ctx->handle = &host.handle;
        ctx->debug = true;
        ctx->plan.debug = true;
        ctx->plan.comPort[0] = 0;
        ctx->plan.comPort[1] = FLASH_PORT_UNUSED;
        ctx->portCount = 1;
        ctx->activePort = 0;
    }

    // Opens port 0 (UART A) as the job driver does and allocates the loader
    // buffers for the given bases, filled with 0xFF.
    bool Open(uint32_t setupBase = 0x00080000, uint32_t flashBase = 0) {
        ctx->platform.setupLoaderBase = setupBase;
        ctx->platform.flashLoaderBase = flashBase;
        if (!AllocateRegionBuffers(ctx->regionLists, setupBase, flashBase)) return false;
        for (RegionList* list : {&ctx->setupLoaderList(), &ctx->flashLoaderList()}) {
            std::fill_n(list->buffers[0].data.get(), RegionLength(list->buffers[0]), uint8_t{0xFF});
        }
        return ComOpen(*ctx, 0, 0, 115200, 1000);
    }

    // Puts bytes at a phone address of the list and records the range.
    void Load(RegionList& list, uint32_t address, const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), list.buffers[0].data.get() + (address - list.buffers[0].first));
        InsertLoadedRange(list, address, address + static_cast<uint32_t>(bytes.size()) - 1);
    }

    sim::Phone& phone() { return link.phone(); }
    // Lets the phone start what it loaded (it does so a few ms after its last answer).
    void Settle() { link.AdvanceToUs(link.NowUs() + 100'000); }
    uint32_t NowMs() { return link.clock().Ticks(); }

    bool HasLine(const std::string& text, int level = -1) const { return FindLine(text, level) >= 0; }
    int FindLine(const std::string& text, int level = -1) const {
        for (std::size_t i = 0; i < host.lines.size(); ++i) {
            if (host.lines[i].text == text && (level < 0 || host.lines[i].level == level)) return static_cast<int>(i);
        }
        return -1;
    }
    const Line& LineAt(int index) const { return host.lines.at(static_cast<std::size_t>(index)); }
    int CountLines(const std::string& text) const {
        return static_cast<int>(std::count_if(host.lines.begin(), host.lines.end(),
                                              [&](const Line& l) { return l.text == text; }));
    }
    std::string Transcript() const {
        std::string all;
        for (const Line& l : host.lines) all += std::to_string(l.level) + ": " + l.text + "\n";
        return all;
    }

    // The commands the phone received with the given token, in order.
    std::vector<sim::CommandRecord> Commands(const std::string& token) {
        std::vector<sim::CommandRecord> out;
        for (const auto& c : phone().commandLog())
            if (c.token == token) out.push_back(c);
        return out;
    }
    // The tokens the phone received, pings left out.
    std::vector<std::string> Tokens() {
        std::vector<std::string> out;
        for (const auto& c : phone().commandLog())
            if (c.token != "?") out.push_back(c.token);
        return out;
    }

    sim::VirtualLink link;
    Host host;
    RecordingThreading threading;
    FlashContext* rawCtx = nullptr;
    AbortTrigger trigger;
    TriggerClock clock;
    TriggerSerial serial;
    std::unique_ptr<FlashContext> ctx;
};

// A framed reply as the phone sends it: "resp", the echo, "+ok+", the length,
// the payload and its CRC (when not empty), "(hw)".
inline std::vector<uint8_t> OkReply(uint32_t command, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(4);
    auto put32 = [&out](uint32_t v) {
        uint8_t b[4];
        StoreLe32(v, b);
        out.insert(out.end(), b, b + 4);
    };
    StoreFourCC(BL_RESP, out.data());
    put32(command);
    put32(BL_OK);
    put32(static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) {
        out.insert(out.end(), payload.begin(), payload.end());
        put32(Crc32(payload));
    }
    put32(BL_EOM);
    return out;
}

inline std::vector<uint8_t> NackReply(uint32_t command) {
    std::vector<uint8_t> out(16);
    StoreFourCC(BL_RESP, out.data());
    StoreFourCC(command, out.data() + 4);
    StoreFourCC(BL_NACK, out.data() + 8);
    StoreFourCC(BL_EOM, out.data() + 12);
    return out;
}

inline std::vector<uint8_t> InfoPayload(uint32_t word0, uint32_t maxTransfer, uint32_t words = 4,
                                        uint32_t romMask = 0, uint32_t uart = 0, uint32_t idRegister = 0) {
    std::vector<uint8_t> out(4 * words, 0);
    const uint32_t values[6] = {word0, romMask, uart, maxTransfer, words >= 6 ? 4u : 0u, idRegister};
    for (uint32_t i = 0; i < words && i < 6; ++i) StoreLe32(values[i], out.data() + 4 * i);
    return out;
}

inline std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

}  // namespace flashwire::boot_test
