// Applies the configured faults (fault_config.h) to the bytes crossing the
// line and to the replies the phone sends, drawing from one PRNG per
// direction and UART (seeded from the phone's seed), so the faults of one
// line do not shift when another line carries more or fewer bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/phone.h"
#include "sim/prng.h"

namespace flashwire::sim {

class FaultInjector {
public:
    using Logger = std::function<void(FaultRecord)>;

    FaultInjector(const FaultConfig& config, uint64_t seed, Logger log);

    // Applies the random line faults to one byte of direction d on uart at us;
    // returns the bytes that go on (none when dropped, two with inserted garbage).
    std::vector<uint8_t> LineByte(Direction d, unsigned uart, uint64_t us, uint8_t byte);
    // The stall that starts with this byte (the byteIndex-th of its direction
    // on uart, from 0), as the time it ends; 0 when none starts.
    uint64_t StallAt(Direction d, unsigned uart, uint64_t us, uint64_t byteIndex);
    // The configured fault of this reply's occurrence, if any.
    const ReplyFault* ReplyFaultFor(const std::string& token, uint32_t occurrence) const;
    bool lineFaultsConfigured(Direction d, unsigned uart) const;

private:
    const FaultConfig& config_;
    Logger log_;
    Prng streams_[2][2];
    std::vector<bool> stallUsed_;
};

}  // namespace flashwire::sim
