// Target description: what "platform.def" says about the phone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flashwire {

struct FlashDefinition {
    uint32_t base = 0;
    uint32_t size = 0;  // bytes
    uint32_t attribute = 0;
};

// Size of the path fields (loader files here, the context's directories).
inline constexpr std::size_t kPathSize = 256;

// The pause a phone's flash loader is given to arm its receive after a "TXDT"
// frame, unless its platform section names another ("StreamGap", 0 to the
// maximum).
inline constexpr uint32_t kDefaultStreamGapMs = 10;
inline constexpr uint32_t kMaxStreamGapMs = 1000;

struct PlatformInfo {
    char setupLoaderPath[kPathSize]{};
    char flashLoaderPath[kPathSize]{};
    uint32_t memoryInterfaceType = 0;
    bool activeBootLoader = false;
    bool setupLoaderIgnored = false;
    bool setupLoaderNeeded = false;
    uint32_t setupLoaderBase = 0;
    uint32_t flashLoaderBase = 0;
    uint32_t stackBase = 0;
    bool chipDescription = false;
    uint32_t flashDefinitionCount = 0;
    FlashDefinition flashDefinitions[4]{};
    // Pause between a "TXDT" frame and its data streams, in ms ("StreamGap").
    uint32_t streamGapMs = kDefaultStreamGapMs;
};

}  // namespace flashwire
