// Helpers of the serial tests on every system: a host that collects message
// lines, a context wired to a set of services, test data and wait bounds.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flashwire/flash_api.h"
#include "job/context.h"
#include "platform/platform.h"

namespace serial_test {

// The five time-out values in their classic order, for comparisons.
inline std::array<uint32_t, 5> Values(const flashwire::platform::CommTimeouts& t) {
    return {t.readInterval, t.readTotalMultiplier, t.readTotalConstant, t.writeTotalMultiplier,
            t.writeTotalConstant};
}

struct Line {
    int level;
    std::string text;
};

// The host: a FlashHandle whose message callback collects the lines.
struct Host {
    FlashHandle handle{};  // first member: the callback finds the Host from it
    std::vector<Line> lines;

    Host() {
        handle.size = sizeof(FlashHandle);
        handle.message = [](FlashHandle* h, int32_t level, const char* text) -> int32_t {
            reinterpret_cast<Host*>(h)->lines.push_back({level, text});
            return 0;
        };
    }
};

inline std::unique_ptr<flashwire::FlashContext> MakeContext(Host& host,
                                                            const flashwire::platform::Services& services) {
    auto ctx = std::make_unique<flashwire::FlashContext>();
    ctx->services = services;
    ctx->handle = &host.handle;
    return ctx;
}

inline std::vector<uint8_t> Pattern(std::size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

// How much later than expected a wait may end on a loaded machine. Lower
// bounds of waits stay tight; upper bounds only show that a wait ended in
// time, or before a longer limit that must not have been reached.
inline constexpr long kLateMs = 1000;

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
            .count());
}

}  // namespace serial_test
