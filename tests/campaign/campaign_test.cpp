// The whole-job fault campaign on a fixed seed list (the bench runs random
// seeds: bench/fault_campaign). Every run must keep every invariant; a
// failing run prints its replay command.
//
// More seeds: FLASHWIRE_CAMPAIGN_RUNS=<n>; one seed, verbosely:
// ./bench/fault_campaign --replay <seed>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "campaign/campaign.h"
#include "flashwire/flash_api.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FLASHWIRE_CAMPAIGN_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define FLASHWIRE_CAMPAIGN_SANITIZER 1
#endif
#endif

namespace flashwire::campaign {
namespace {

#ifdef FLASHWIRE_CAMPAIGN_SANITIZER
constexpr uint64_t kRuns = 50;
#else
constexpr uint64_t kRuns = 600;
#endif

void Check(uint64_t seed, Table& table) {
    const Scenario s = MakeScenario(seed);
    const Outcome o = campaign::Run(s);
    table.Add(s, o);
    if (!o.violations.empty()) {
        std::string all;
        for (const std::string& v : o.violations) all += "  " + v + "\n";
        ADD_FAILURE() << o.log << all << "replay: " << ReplayCommand(seed);
    }
}

TEST(FaultCampaign, FixedSeedsKeepEveryInvariant) {
    uint64_t runs = kRuns;
    if (const char* n = std::getenv("FLASHWIRE_CAMPAIGN_RUNS"); n != nullptr && *n != '\0') runs = std::strtoull(n, nullptr, 10);
    Table table;
    for (uint64_t seed = 1; seed <= runs; ++seed) Check(seed, table);
    // Rare ends, in every build: a FlashLoad run aborted in a boot wait
    // (128), extProtect sectors erased by a phone lost before "CLOS" (605, 1535).
    for (const uint64_t seed : {128u, 605u, 1535u})
        if (seed > runs) Check(seed, table);
    std::printf("%s", table.Render().c_str());
    EXPECT_EQ(table.violations(), 0u);
    // The list must reach every kind of end, not only fail early.
    for (const uint64_t n : table.Ends()) EXPECT_GT(n, 0u);
}

// Runs are reproducible: a seed run twice puts the same bytes on the wire at
// the same virtual times and calls the host in the same order, also through
// FlashLoad, whose threads take turns on the virtual clock.
TEST(FaultCampaign, SeedRunTwiceRepeatsItself) {
    std::vector<uint64_t> sample;
    uint32_t viaFlashLoad = 0, direct = 0;
    for (uint64_t seed = 1; seed <= 400 && sample.size() < 16; ++seed) {
        const bool load = MakeScenario(seed).viaFlashLoad;
        if (load ? viaFlashLoad++ < 10 : direct++ < 6) sample.push_back(seed);
    }
    sample.push_back(128);  // a FlashLoad run aborted in a boot wait (nothing on the wire)
    uint64_t wireBytes = 0;
    for (const uint64_t seed : sample) {
        const Scenario s = MakeScenario(seed);
        // The library keeps the tick of the last progress update across jobs
        // (it limits repeats of an unchanged percent), and every run starts
        // its virtual clock at 0: a first run leaves the state that the two
        // compared runs then both start from.
        campaign::Run(s);
        const Outcome a = campaign::Run(s, false, true), b = campaign::Run(s, false, true);
        EXPECT_TRUE(a.violations.empty()) << s.Describe();
        EXPECT_EQ(a.result, b.result) << s.Describe();
        EXPECT_EQ(a.totalUs, b.totalUs) << s.Describe();
        wireBytes += a.wireBytes;
        EXPECT_EQ(a.wireBytes, b.wireBytes) << s.Describe();
        EXPECT_EQ(a.wireHash, b.wireHash) << s.Describe();
        EXPECT_FALSE(a.callbacks.empty()) << s.Describe();
        EXPECT_EQ(a.callbacks, b.callbacks) << s.Describe();
    }
    EXPECT_GT(wireBytes, 100000u);
}

// Targeted replays of faults that once ended wrongly.
struct Targeted {
    const char* what;
    const char* platform;
    bool twoPorts;
    sim::ReplyFault fault;
    uint32_t expected;
};

TEST(FaultCampaign, TargetedFaultsEndAsTheyShould) {
    const Targeted cases[] = {
        // A refused "BAUD" leaves the phone's rate alone: the retry after a
        // resynchronisation succeeds (the phone used to switch all the same).
        {"refused BAUD", "camp-passive", false, {"BAUD", 0, sim::ReplyFaultKind::Refuse}, SUCCESS},
        {"refused BAUD of port 2", "camp-passive", true, {"BAUD", 1, sim::ReplyFaultKind::Refuse}, SUCCESS},
        // A lost "BAUD" answer: the phone switched, the host did not; the
        // resynchronisation at the old rate fails, cleanly.
        {"lost BAUD answer", "camp-setup", false, {"BAUD", 0, sim::ReplyFaultKind::Silence}, ERR_PROTOCOL},
    };
    for (const Targeted& c : cases) {
        Scenario s;
        s.seed = 1;
        s.platform = c.platform;
        s.kind = FaultClass::Refuse;
        s.baud = 921600;
        s.twoPorts = c.twoPorts;
        s.image = {{0x3F00, std::vector<uint8_t>(0x2200, 0x5A)}};
        s.faults.replies = {c.fault};
        const Outcome o = campaign::Run(s);
        EXPECT_EQ(o.result, c.expected) << c.what << "\n" << o.log;
        EXPECT_TRUE(o.violations.empty()) << c.what << "\n" << o.log;
    }
}

}  // namespace
}  // namespace flashwire::campaign
