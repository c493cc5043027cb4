// Real elapsed time since the daemon started, in microseconds: the time base
// on which the phone model runs.
#pragma once

#include <cstdint>
#include <ctime>

namespace flashwire::simd {

class ElapsedClock {
public:
    ElapsedClock() : start_(NowNs()) {}

    uint64_t NowUs() const { return (NowNs() - start_) / 1000u; }

    // The absolute monotonic time of a point on this clock (for ppoll-style
    // deadlines computed as differences).
    static uint64_t NowNs() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
    }

private:
    uint64_t start_;
};

}  // namespace flashwire::simd
