// The whole-job fault campaign with random seeds: N runs, the table of fault
// kind x job, every violation with its replay command.
//
//   fault_campaign [--runs N] [--seed S]   seeds S, S+1, ... (S from the clock by default)
//   fault_campaign --replay SEED           one run, verbosely: scenario, fault
//                                          log, command log, host lines, outcome
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "campaign/campaign.h"

using namespace flashwire::campaign;

int main(int argc, char** argv) {
    uint64_t runs = 10000, seed = 0, replay = 0;
    bool haveSeed = false, haveReplay = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> uint64_t {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return std::strtoull(argv[++i], nullptr, 10);
        };
        if (a == "--runs") runs = value();
        else if (a == "--seed") seed = value(), haveSeed = true;
        else if (a == "--replay") replay = value(), haveReplay = true;
        else {
            std::fprintf(stderr, "usage: %s [--runs N] [--seed S] | --replay SEED\n", argv[0]);
            return 2;
        }
    }
    if (haveReplay) {
        const Scenario s = MakeScenario(replay);
        const Outcome o = Run(s, true);
        std::printf("%s", o.log.c_str());
        for (const std::string& v : o.violations) std::printf("VIOLATION: %s\n", v.c_str());
        std::printf("%s\n", o.violations.empty() ? "no violation" : "violations found");
        return o.violations.empty() ? 0 : 1;
    }
    if (!haveSeed)
        seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000000000ull;
    std::printf("fault campaign: %llu runs from seed %llu\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(seed));
    const auto start = std::chrono::steady_clock::now();
    Table table;
    for (uint64_t i = 0; i < runs; ++i) {
        const Scenario s = MakeScenario(seed + i);
        const Outcome o = Run(s);
        table.Add(s, o);
        if (!o.violations.empty()) {
            std::printf("VIOLATION seed %llu: %s\n", static_cast<unsigned long long>(seed + i), s.Describe().c_str());
            for (const std::string& v : o.violations) std::printf("  %s\n", v.c_str());
            std::printf("  replay: %s\n", ReplayCommand(seed + i).c_str());
            std::fflush(stdout);
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s", table.Render().c_str());
    std::printf("runs %llu, violations %llu, wall time %.1f s (%.1f runs/s)\n",
                static_cast<unsigned long long>(table.runs()), static_cast<unsigned long long>(table.violations()), wall,
                static_cast<double>(table.runs()) / wall);
    return table.violations() == 0 ? 0 : 1;
}
