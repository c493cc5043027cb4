// Seeded, reproducible line and reply faults.
#include "sim/fault_injector.h"

#include <algorithm>
#include <cstdio>

namespace flashwire::sim {
namespace {

std::string Hex2(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

}  // namespace

FaultInjector::FaultInjector(const FaultConfig& config, uint64_t seed, Logger log)
    : config_(config), log_(std::move(log)), stallUsed_(config.stalls.size(), false) {
    for (unsigned d = 0; d < 2; ++d)
        for (unsigned u = 0; u < 2; ++u) {
            // One independent sequence per line, derived from the seed.
            streams_[d][u].Seed(DeriveSeed(seed, 0x5EED00u | d << 4 | u));
        }
}

bool FaultInjector::lineFaultsConfigured(Direction d, unsigned uart) const {
    const LineFaults& f = config_.Line(d, uart);
    return f.bitFlip > 0 || f.drop > 0 || f.garbage > 0;
}

std::vector<uint8_t> FaultInjector::LineByte(Direction d, unsigned uart, uint64_t us, uint8_t byte) {
    if (!lineFaultsConfigured(d, uart)) return {byte};
    const LineFaults& f = config_.Line(d, uart);
    Prng& s = streams_[static_cast<unsigned>(d)][uart & 1u];
    std::vector<uint8_t> out;
    // Three draws per byte, always, so that one fault does not shift the others.
    const double g = s.Unit(), r = s.Unit(), b = s.Unit();
    const uint64_t bits = s.Next();
    if (g < f.garbage) {
        const uint8_t junk = static_cast<uint8_t>(bits >> 8);
        out.push_back(junk);
        log_({us, FaultKind::Garbage, d, uart, "inserted " + Hex2(junk)});
    }
    if (r < f.drop) {
        log_({us, FaultKind::Drop, d, uart, "dropped " + Hex2(byte)});
        return out;
    }
    if (b < f.bitFlip) {
        const uint8_t flipped = static_cast<uint8_t>(byte ^ (1u << (bits & 7u)));
        log_({us, FaultKind::BitFlip, d, uart, Hex2(byte) + " -> " + Hex2(flipped)});
        byte = flipped;
    }
    out.push_back(byte);
    return out;
}

uint64_t FaultInjector::StallAt(Direction d, unsigned uart, uint64_t us, uint64_t byteIndex) {
    uint64_t until = 0;
    for (std::size_t i = 0; i < config_.stalls.size(); ++i) {
        const StallFault& st = config_.stalls[i];
        if (stallUsed_[i] || st.direction != d || st.uart != uart) continue;
        const bool byTime = st.atUs != kNever && us >= st.atUs;
        const bool byCount = st.atByte != kNever && byteIndex >= st.atByte;
        if (!byTime && !byCount) continue;
        stallUsed_[i] = true;
        until = std::max(until, us + st.durationUs);
        log_({us, FaultKind::Stall, d, uart, "stall of " + std::to_string(st.durationUs) + " us"});
    }
    return until;
}

const ReplyFault* FaultInjector::ReplyFaultFor(const std::string& token, uint32_t occurrence) const {
    for (const ReplyFault& r : config_.replies)
        if (r.token == token && r.occurrence == occurrence) return &r;
    return nullptr;
}

}  // namespace flashwire::sim
