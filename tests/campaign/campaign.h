// Whole-job fault campaign on the virtual clock: a scenario drawn from a seed
// (platform, job, options, image, the phone's flash, one kind of fault), run
// from power-on against the simulated phone, and the invariants every run
// must keep whatever the fault. Used by the fixed seed list of test_campaign
// and by bench/fault_campaign (random seeds, the table, one-run replay).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/fault_config.h"
#include "sim/fault_files.h"

namespace flashwire::campaign {

enum class Job : uint8_t { Flash, Verify, Read };

// The one kind of fault a run carries (besides none).
enum class FaultClass : uint8_t {
    None,
    BitFlip,
    Drop,
    Garbage,
    Stall,
    Refuse,
    Silence,
    BadCrc,
    Silent,
    Reboot,
    StuckBit,
    BaudLost,
    Mixed,  // two or three of the kinds above together
    Count
};

const char* JobName(Job job);
const char* FaultClassName(FaultClass kind);

struct Chunk {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

struct Range {
    uint32_t first = 0, last = 0;
};

struct Scenario {
    uint64_t seed = 0;
    std::string platform;
    Job job = Job::Flash;
    FaultClass kind = FaultClass::None;
    bool viaFlashLoad = false;  // FlashLoad with its threads, else the job driver on this thread
    uint32_t baud = 115200;
    bool twoPorts = false, diff = false, extProtect = false, eraseUnused = false, unattended = false;
    bool noRetry = false;
    bool loaderMessages = false;  // the flash loader sends "*msg"/"*dmp" records while it works
    std::vector<Chunk> image;     // flash and verify jobs
    std::vector<Range> reserved;  // flash jobs
    std::vector<Range> reads;     // read jobs
    std::vector<Chunk> phoneFlash;  // the phone's flash before the job (the rest erased)
    sim::FaultConfig faults;
    // A fault of the host's files (runs without a fault on the line only):
    // the image unreadable part-way (flash, verify), the disk full or a
    // short write while the read job saves; `fileFaultAt` is the byte offset.
    sim::FileFault fileFault = sim::FileFault::None;
    uint64_t fileFaultAt = 0;
    std::string faultText;  // the faults, for the log
    // The option string without /platform, /file and /savefile.
    std::string Options() const;
    std::string Describe() const;
};

Scenario MakeScenario(uint64_t seed);

struct Outcome {
    uint32_t result = 0;
    bool abortedWait = false;  // ended by the campaign's abort in an unbounded wait
    bool sectorLostWithPhone = false;  // extProtect: erased by "ERAS", the phone lost before "CLOS"
    uint64_t flashLoaderUs = 0;       // duration of the flash-loader phase (0 when not reached)
    uint64_t flashLoaderBoundUs = 0;  // its bound
    uint64_t totalUs = 0;
    std::vector<std::string> violations;
    std::string log;  // verbose: the fault log, command log, host lines
    // fingerprint: what two runs of one scenario must repeat exactly.
    uint64_t wireHash = 0;   // every byte on the wire with its time, direction and UART
    uint64_t wireBytes = 0;
    std::vector<std::string> callbacks;  // the host's callbacks in order (FlashLoad: with their virtual time)
};

// Runs the scenario; verbose fills Outcome::log, fingerprint the wire hash and
// the callbacks.
Outcome Run(const Scenario& scenario, bool verbose = false, bool fingerprint = false);

// The command that replays one run verbosely.
std::string ReplayCommand(uint64_t seed);

// fault kind x job -> counts, and the rendering of the table.
class Table {
public:
    void Add(const Scenario& scenario, const Outcome& outcome);
    std::string Render() const;
    uint64_t runs() const { return runs_; }
    uint64_t violations() const { return violations_; }
    // Runs that ended with SUCCESS, with a clean failure, in an aborted wait.
    std::array<uint64_t, 3> Ends() const;

private:
    struct Row {
        uint64_t runs = 0, successes = 0, cleanFailures = 0, sectorsLost = 0, abortedWaits = 0, violations = 0,
                 viaFlashLoad = 0;
        double worstRatio = 0;
        uint64_t worstUs = 0, worstBoundUs = 0;
    };
    std::map<std::pair<int, int>, Row> rows_;
    uint64_t runs_ = 0, violations_ = 0;
};

}  // namespace flashwire::campaign
