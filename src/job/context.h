// FlashContext: the one record per handle that holds everything a job needs.
// Each group of members belongs to the subsystem named in its comment.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "flashwire/flash_api.h"
#include "platform/platform.h"

namespace flashwire {

inline constexpr std::array<uint32_t, FLASH_SPEED_COUNT> SpeedTable = FLASH_SPEED_TABLE;

// ---- Image data: host buffers that mirror windows of the phone's memory.
inline constexpr uint32_t kMaxBuffers = 4;
inline constexpr uint32_t kMaxLoadedRanges = 1024;
inline constexpr uint32_t kNoBuffer = 0xFFFF;

struct MemoryRegion {
    uint32_t first = 0;
    uint32_t last = 0;
    std::unique_ptr<uint8_t[]> data;  // last - first + 1 bytes; null while not allocated
};

struct RegionList {
    uint32_t bufferCount = 0;
    MemoryRegion buffers[kMaxBuffers];
    uint32_t rangeCount = 0;
    AddressRange ranges[kMaxLoadedRanges]{};
};

enum RegionListIndex : uint32_t { kSetupLoaderList = 0, kFlashLoaderList = 1, kImageList = 2 };

// ---- Target description: what "platform.def" says about the phone.
struct FlashDefinition {
    uint32_t base = 0;
    uint32_t size = 0;  // bytes
    uint32_t attribute = 0;
};

inline constexpr std::size_t kPathSize = 256;

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
};

// ---- Serial transport: one record per logical port (0 or 1).
struct PortRecord {
    std::unique_ptr<platform::SerialPort> handle;  // null when closed
    uint32_t uartNumber = 0;
    uint32_t speedCount = 0;
    uint32_t currentBaud = 0;
    uint32_t share = 0;
    uint32_t supportedSpeeds[FLASH_SPEED_COUNT]{};
    uint32_t readTimeout = 0;
    bool nonBlocking = false;
    platform::CommTimeouts savedTimeouts{};
    uint32_t pcBaud = 0;
    uint16_t connectionResult = 0;
};

// ---- Flash layout: the flash loader's device information and chips.
inline constexpr uint32_t kMaxChips = 4;
inline constexpr uint32_t kMaxSectorOffsets = 4096;

struct DeviceInfo {
    uint32_t maxTxSize = 0;
    uint32_t maxRxSize = 0;
    uint32_t loaderSpeeds[5]{};
};

struct FlashChip {
    uint16_t manufacturerId = 0;
    uint16_t commandSet = 0;
    uint16_t programmingMode = 0;
    uint32_t deviceId = 0;
    uint32_t sectorCount = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    uint32_t sectorOffsets[kMaxSectorOffsets]{};
};

// ---- Job control: the message ring between the job and the dispatcher.
inline constexpr uint32_t kRingSize = 16384;
inline constexpr uint32_t kRecordHeaderSize = 24;

struct MessageRing {
    // Record storage; a filler's header may reach kRecordHeaderSize bytes past the end.
    alignas(4) uint8_t storage[kRingSize + kRecordHeaderSize]{};
    uint32_t writePos = 0;  // only producers move it (under producerMutex)
    std::atomic<uint32_t> readPos{0};  // only the dispatcher moves it
    std::atomic<uint32_t> publishedWritePos{0};  // what the dispatcher may read up to
    std::mutex producerMutex;  // serialises producers
    uint32_t droppedRecords = 0;  // records dropped because the host did not drain the ring
};

struct PriorityStack {
    int saved[10]{};
    uint32_t depth = 0;
};

struct FlashContext {
    // Identity and services.
    FlashHandle* handle = nullptr;
    platform::Services services{};

    // The job's copy of the options.
    FlashOptions options{};

    // Paths (exeDirectory ends with the path separator).
    char exeDirectory[kPathSize]{};
    char platformDefPath[kPathSize]{};

    // Platform (from "platform.def").
    PlatformInfo platform{};

    // Ports.
    bool legacyOs = false;
    bool overlappedIo = false;
    uint32_t portCount = 0;
    uint32_t activePort = 0;
    PortRecord ports[2];

    // Images: setupLoaderList, flashLoaderList, imageList.
    RegionList regionLists[3];
    RegionList& setupLoaderList() { return regionLists[kSetupLoaderList]; }
    RegionList& flashLoaderList() { return regionLists[kFlashLoaderList]; }
    RegionList& imageList() { return regionLists[kImageList]; }

    // Flash layout.
    DeviceInfo deviceInfo{};
    uint32_t chipCount = 0;
    uint32_t totalSectors = 0;
    uint32_t totalFlashBytes = 0;
    FlashChip chips[kMaxChips]{};

    // Threads and queue.
    std::atomic<bool> queueMode{false};
    std::atomic<bool> abortRequested{false};
    std::unique_ptr<platform::Thread> dispatcherThread;
    std::unique_ptr<platform::Thread> protocolThread;
    std::unique_ptr<platform::Event> dataEvent;
    std::unique_ptr<platform::Event> drainedEvent;
    MessageRing ring;

    // Job state.
    PriorityStack priorityStack{};
    uint32_t lastError = 0;
    uint32_t transferMode = 0;
    uint32_t progressTotal = 1;
    uint32_t progressDone = 0;
    uint32_t progressPercent = 0;

    platform::Clock& clock() { return *services.clock; }
};

}  // namespace flashwire
