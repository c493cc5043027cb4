// The simulated phone's and the fault campaigns' randomness: a generator of
// our own (xoshiro256** seeded through splitmix64) with our own mapping to
// integer ranges and to doubles. The standard library's engines are fixed,
// but its distributions differ between standard libraries; with this one a
// seed found on one system replays the same faults on every other.
#pragma once

#include <cstdint>
#include <string_view>

namespace flashwire::sim {

// One step of splitmix64: advances state and returns the next output.
constexpr uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A seed for an independent sequence named by salt, derived from seed.
constexpr uint64_t DeriveSeed(uint64_t seed, uint64_t salt) {
    uint64_t state = seed ^ (salt * 0xD1B54A32D192ED03ull);
    SplitMix64(state);
    return SplitMix64(state);
}

// 64-bit FNV-1a of a text, for seeds named by text (a platform, a case).
constexpr uint64_t Fnv1a64(std::string_view text) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (const char c : text) {
        h ^= static_cast<uint8_t>(c);
        h *= 0x100000001B3ull;
    }
    return h;
}

class Prng {
public:
    explicit constexpr Prng(uint64_t seed = 0) { Seed(seed); }

    constexpr void Seed(uint64_t seed) {
        uint64_t state = seed;
        for (uint64_t& word : s_) word = SplitMix64(state);
    }

    // xoshiro256**.
    constexpr uint64_t Next() {
        const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = Rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, n) for n > 0 (0 for n = 0), without bias: outputs below
    // 2^64 mod n are drawn again, so every residue has the same number of
    // outputs behind it.
    constexpr uint64_t Below(uint64_t n) {
        if (n == 0) return 0;
        const uint64_t threshold = (0 - n) % n;
        for (;;) {
            const uint64_t x = Next();
            if (x >= threshold) return x % n;
        }
    }

    // Uniform in [lo, hi], both inclusive (lo <= hi).
    constexpr uint64_t Range(uint64_t lo, uint64_t hi) {
        const uint64_t span = hi - lo + 1;
        return span == 0 ? Next() : lo + Below(span);
    }

    // Uniform in [0, 1): the top 53 bits as a multiple of 2^-53.
    constexpr double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

    // True with probability p.
    constexpr bool Chance(double p) { return Unit() < p; }

private:
    static constexpr uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t s_[4]{};
};

}  // namespace flashwire::sim
