// The generator behind every seeded fault: pinned outputs, so a seed replays
// the same faults whatever standard library the build uses.
#include <gtest/gtest.h>

#include <array>

#include "sim/prng.h"

namespace flashwire::sim {
namespace {

TEST(Prng, PinnedOutputs) {
    uint64_t state = 1234567;  // the published splitmix64 sequence
    EXPECT_EQ(SplitMix64(state), 6457827717110365317ull);
    EXPECT_EQ(SplitMix64(state), 3203168211198807973ull);
    EXPECT_EQ(SplitMix64(state), 9817491932198370423ull);
    EXPECT_EQ(Fnv1a64(""), 0xCBF29CE484222325ull);
    EXPECT_EQ(Fnv1a64("a"), 0xAF63DC4C8601EC8Cull);
    EXPECT_EQ(Fnv1a64("demo-active"), 0xB4D48A54DAA12973ull);
    EXPECT_EQ(DeriveSeed(1, 2), 0xF977A0EAB49FFB2Full);

    Prng p(42);
    EXPECT_EQ(p.Next(), 0x15780B2E0C2EC716ull);
    EXPECT_EQ(p.Next(), 0x6104D9866D113A7Eull);
    EXPECT_EQ(p.Next(), 0xAE17533239E499A1ull);
    EXPECT_EQ(p.Next(), 0xECB8AD4703B360A1ull);
    Prng q(7);
    for (const uint64_t expected : {4u, 4u, 8u, 4u}) EXPECT_EQ(q.Below(10), expected);
    for (const uint64_t expected : {1664u, 1721u, 1716u}) EXPECT_EQ(q.Range(1000, 1999), expected);
    EXPECT_EQ(q.Unit(), 0.10443578924281161);
}

TEST(Prng, RangesAreCoveredEvenly) {
    Prng p(3);
    std::array<int, 3> counts{};
    for (int i = 0; i < 30000; ++i) ++counts[p.Below(3)];
    for (const int c : counts) EXPECT_NEAR(c, 10000, 400);
    // Half of all outputs lie at or above 2^63 + 1 and are drawn again.
    const uint64_t n = (1ull << 63) + 1;
    for (int i = 0; i < 1000; ++i) EXPECT_LT(p.Below(n), n);
    EXPECT_EQ(p.Range(5, 5), 5u);
    EXPECT_EQ(p.Below(0), 0u);
    for (int i = 0; i < 1000; ++i) {
        const double u = p.Unit();
        EXPECT_TRUE(u >= 0.0 && u < 1.0);
    }
}

}  // namespace
}  // namespace flashwire::sim
