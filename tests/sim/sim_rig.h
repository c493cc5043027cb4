// Drives the simulated phone with raw bytes through VirtualLink's serial
// ports, as a host would, without the host's protocol code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/flash_loader.h"
#include "sim/frame_codec.h"
#include "sim/phone.h"
#include "sim/phone_config.h"
#include "sim/virtual_link.h"

namespace flashwire::sim_test {

using Bytes = std::vector<uint8_t>;

inline Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }
inline void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
inline Bytes U32(uint32_t v) {
    Bytes b;
    sim::PutU32(b, v);
    return b;
}
inline Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) sim::PutU32(b, w);
    return b;
}

// The seed of a randomised test: FLASHWIRE_SIM_SEED or the given default.
inline uint64_t TestSeed(uint64_t fallback) {
    if (const char* s = std::getenv("FLASHWIRE_SIM_SEED")) return std::strtoull(s, nullptr, 0);
    return fallback;
}
inline std::string ReplayLine(uint64_t seed) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return "seed " + std::to_string(seed) + "; replay: FLASHWIRE_SIM_SEED=" + std::to_string(seed) +
           " ./test_sim --gtest_filter=" + info->test_suite_name() + "." + info->name();
}

// One PC port on the link.
class RawPort {
public:
    RawPort(sim::VirtualLink& link, uint32_t portNumber) : link_(link) {
        uint32_t err = 0;
        port_ = link.serial().Open(portNumber, false, err);
        error = err;
        if (port_) SetTimeoutMs(1000);
    }
    bool ok() const { return port_ != nullptr; }
    uint32_t error = 0;

    bool SetBaud(uint32_t baud) {
        platform::LineSettings s;
        port_->GetSettings(s);
        s.baud = baud;
        return port_->SetSettings(s);
    }
    void SetTimeoutMs(uint32_t ms) { port_->SetTimeouts({0, 0, ms, 0, 0}); }
    void SetNonBlocking() { port_->SetTimeouts({0xFFFFFFFFu, 0, 0, 0, 0}); }
    void Write(const Bytes& bytes) {
        uint32_t sent = 0;
        ASSERT_TRUE(port_->Write(bytes, sent));
        ASSERT_EQ(sent, bytes.size());
    }
    void Write(std::string_view s) { Write(B(s)); }
    // One read of up to n bytes under the port's time-outs.
    Bytes Read(std::size_t n) {
        Bytes b(n);
        uint32_t got = 0;
        EXPECT_TRUE(port_->Read(b, got));
        b.resize(got);
        return b;
    }
    // Reads byte by byte until the bytes end with marker or nothing comes for timeoutMs.
    Bytes ReadUntil(std::string_view marker, uint32_t timeoutMs = 5000) {
        SetTimeoutMs(timeoutMs);
        Bytes out;
        while (out.size() < (1u << 20)) {
            Bytes b = Read(1);
            if (b.empty()) break;
            out.push_back(b[0]);
            if (out.size() >= marker.size() &&
                std::equal(marker.begin(), marker.end(), out.end() - static_cast<std::ptrdiff_t>(marker.size())))
                break;
        }
        SetTimeoutMs(1000);
        return out;
    }
    platform::SerialPort& port() { return *port_; }

private:
    sim::VirtualLink& link_;
    std::unique_ptr<platform::SerialPort> port_;
};

// A command frame: 4CC, length, payload and CRC when not empty, end marker.
inline Bytes Frame(std::string_view command, const Bytes& payload, std::string_view end) {
    Bytes f = B(command);
    Append(f, U32(static_cast<uint32_t>(payload.size())));
    if (!payload.empty()) {
        Append(f, payload);
        Append(f, U32(sim::Crc32(payload)));
    }
    Append(f, B(end));
    return f;
}
inline Bytes BootFrame(std::string_view command, const Bytes& payload = {}) { return Frame(command, payload, "(pc)"); }
inline Bytes LoaderFrame(std::string_view command, const Bytes& payload = {}) { return Frame(command, payload, "EOT."); }

// A parsed flash loader reply.
struct LoaderReply {
    bool complete = false;
    bool ok = false;
    std::string command;
    Bytes payload;
    bool crcOk = false;
    std::vector<Bytes> records;  // "*msg"/"*dmp" records before it, whole
    uint32_t errorCode() const { return payload.size() >= 4 ? sim::GetU32(payload, 0) : 0; }
    uint32_t word(std::size_t i) const { return sim::GetU32(payload, 4 * i); }
};

// Parses "rply" cmd status len [payload crc] "eom." out of the bytes read up
// to "eom." (records and stray bytes before "rply" are collected/skipped).
inline LoaderReply ParseLoaderReply(const Bytes& bytes) {
    LoaderReply r;
    const std::string s = S(bytes);
    std::size_t pos = 0;
    for (;;) {
        const std::size_t msg = s.find("*msg", pos), dmp = s.find("*dmp", pos), rply = s.find("rply", pos);
        const std::size_t rec = std::min(msg, dmp);
        if (rec != std::string::npos && (rply == std::string::npos || rec < rply)) {
            const std::string endMarker = rec == msg ? "msg." : "dmp.";
            const std::size_t e = s.find(endMarker, rec);
            if (e == std::string::npos) return r;
            r.records.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(rec),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(e + 4));
            pos = e + 4;
            continue;
        }
        if (rply == std::string::npos || bytes.size() < rply + 20) return r;
        pos = rply;
        break;
    }
    r.command = s.substr(pos + 4, 4);
    const std::string status = s.substr(pos + 8, 4);
    r.ok = status == "+ok!";
    const uint32_t len = sim::GetU32(bytes, pos + 12);
    std::size_t at = pos + 16;
    if (len > 0) {
        if (bytes.size() < at + len + 8) return r;
        r.payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + len));
        r.crcOk = sim::GetU32(bytes, at + len) == sim::Crc32(r.payload);
        at += len + 4;
    } else {
        r.crcOk = true;
    }
    r.complete = s.substr(at, 4) == "eom." && (status == "+ok!" || status == "-err");
    return r;
}

// A small phone: passive boot ROM (type 2), one 1 MiB chip of 8 KiB and
// 64 KiB sectors at address 0.
inline sim::PhoneConfig SmallPhone() {
    sim::PhoneConfig c;
    c.name = "test-small";
    sim::ChipConfig chip;
    chip.name = "test-chip";
    chip.amdManufacturer = 0x42;
    chip.amdDevice = 0x110;
    chip.intelManufacturer = 0x42;
    chip.intelDevice = 0x110;
    chip.firstAddress = 0;
    for (int i = 0; i < 8; ++i) chip.sectorSizes.push_back(8 * 1024);
    for (int i = 0; i < 15; ++i) chip.sectorSizes.push_back(64 * 1024);
    c.chips.push_back(chip);
    return c;
}

inline Bytes LoaderImage(std::string_view signature, std::size_t size) {
    Bytes image = B(signature);
    image.push_back(0);
    while (image.size() < size) image.push_back(static_cast<uint8_t>(image.size() * 7));
    return image;
}

// A host-side session: the link, its phone and port 0 (UART A).
struct Session {
    explicit Session(const sim::PhoneConfig& config, uint64_t seed = 1) : link(config, seed), a(link, 0) {}
    sim::VirtualLink link;
    RawPort a;
    sim::Phone& phone() { return link.phone(); }

    // Pings until three '!' in a row, then '#'. False if the phone never answers.
    bool Wake(RawPort& port) {
        port.SetNonBlocking();
        int run = 0;
        for (int i = 0; i < 20000 && run < 3; ++i) {
            port.Write("?");
            Bytes b = port.Read(1);
            if (!b.empty()) run = b[0] == '!' ? run + 1 : 0;
            link.clock().Sleep(1);
        }
        port.SetTimeoutMs(1000);
        if (run < 3) return false;
        port.Write("#");
        return true;
    }
    // A framed boot loader exchange; returns the bytes up to "(hw)".
    Bytes BootExchange(RawPort& port, std::string_view command, const Bytes& payload = {}) {
        port.Write(BootFrame(command, payload));
        return port.ReadUntil("(hw)", 4000);
    }
    // Loads image at address through a passive loader ("data" chunks, "done").
    bool LoadImage(RawPort& port, uint32_t address, const Bytes& image, uint32_t chunk = 2048) {
        for (std::size_t off = 0; off < image.size(); off += chunk) {
            const std::size_t n = std::min<std::size_t>(chunk, image.size() - off);
            Bytes p = U32(address + static_cast<uint32_t>(off));
            Append(p, U32(static_cast<uint32_t>(n)));
            p.insert(p.end(), image.begin() + static_cast<std::ptrdiff_t>(off),
                     image.begin() + static_cast<std::ptrdiff_t>(off + n));
            if (S(BootExchange(port, "data", p)).find("+ok+") == std::string::npos) return false;
        }
        return S(BootExchange(port, "done")).find("+ok+") != std::string::npos;
    }
    // Passive boot ROM of type 2: wake, load a flash loader image, wait for it.
    bool StartFlashLoader() {
        if (!Wake(a)) return false;
        if (!LoadImage(a, 0, LoaderImage("FWFLASH", 3000))) return false;
        link.clock().Sleep(50);
        return phone().stage() == sim::Stage::FlashLoader;
    }
    LoaderReply Command(RawPort& port, std::string_view command, const Bytes& payload = {}, uint32_t timeoutMs = 5000) {
        port.Write(LoaderFrame(command, payload));
        return ParseLoaderReply(port.ReadUntil("eom.", timeoutMs));
    }
    LoaderReply Command(std::string_view command, const Bytes& payload = {}, uint32_t timeoutMs = 5000) {
        return Command(a, command, payload, timeoutMs);
    }
    // "SETP" with the chips of the phone's configuration.
    LoaderReply Setup() {
        Bytes p = U32(1);
        const auto& chips = phone().config().chips;
        for (unsigned i = 0; i < 4; ++i) {
            if (i < chips.size()) {
                Append(p, U32(chips[i].amdDevice));
                Append(p, U32(static_cast<uint32_t>(chips[i].amdManufacturer) << 24));
            } else {
                Append(p, Words({0, 0}));
            }
        }
        return Command("SETP", p);
    }
    LoaderReply Open(unsigned chip, unsigned sector, uint32_t flags) {
        const auto s = phone().flash().Sector(chip, sector);
        return Command("OPEN", Words({chip << 16 | sector, s->first, s->size, flags, 0xFF}));
    }
    // "TXDT" of data at address as one stream on port (UART uart).
    LoaderReply Send(uint32_t address, const Bytes& data, unsigned uart = 0) {
        Bytes p = Words({address, static_cast<uint32_t>(data.size()), 1, 1});
        Append(p, Words({uart, 0, static_cast<uint32_t>(data.size()), sim::Crc32(data)}));
        Append(p, Words({0, 0, 0, 0}));
        Bytes frame = LoaderFrame("TXDT", p);
        Append(frame, data);
        a.Write(frame);
        return ParseLoaderReply(a.ReadUntil("eom.", 20000));
    }
    LoaderReply Close(unsigned sector) { return Command("CLOS", U32(sector), 30000); }
};

}  // namespace flashwire::sim_test
