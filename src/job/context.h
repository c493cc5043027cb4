// FlashContext: the one record per handle that holds everything a job needs.
// It composes the records of the subsystems (image/memory_region.h,
// target/platform_info.h, target/flash_layout.h, serial/port_record.h); the
// message ring and the priority stack of the job itself are defined here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "flashwire/flash_api.h"
#include "image/memory_region.h"
#include "platform/platform.h"
#include "session/port_record.h"
#include "catalog/flash_layout.h"
#include "catalog/platform_info.h"

namespace flashwire {

// ---- Job control: the message ring between the job and the dispatcher.
inline constexpr uint32_t kRingSize = 16384;
inline constexpr uint32_t kRecordHeaderSize = 24;
// How long a producer that finds the ring full waits for the dispatcher.
inline constexpr uint32_t kFlushTimeoutMs = 15000;

// Records lie in `storage` as a header of six u32 (size, context tag, time,
// kind, first argument, second argument) followed by the text and its NUL.
// Pointers are wider than 32 bits here, so a text member holds the byte offset
// of the record's own text copy within `storage`, not a pointer. Positions
// equal means empty. Producers are serialised by `producerMutex` and publish a
// record by a release store of `writePos`; the dispatcher, the only consumer,
// frees space by a release store of `readPos`.
struct MessageRing {
    // Record storage; a filler's header may reach kRecordHeaderSize bytes past the end.
    alignas(4) uint8_t storage[kRingSize + kRecordHeaderSize]{};
    std::atomic<uint32_t> writePos{0};  // only producers move it (under producerMutex)
    std::atomic<uint32_t> readPos{0};   // only the dispatcher moves it
    std::mutex producerMutex;           // serialises producers
    // Records dropped because the dispatcher did not make room in time; the
    // next store that fits reports the count (guarded by producerMutex).
    uint32_t droppedRecords = 0;
    // The bounded wait of a full ring (kFlushTimeoutMs; tests shorten it).
    uint32_t flushTimeoutMs = kFlushTimeoutMs;

    // Empties the ring; only while no dispatcher runs.
    void Reset() {
        writePos.store(0);
        readPos.store(0);
        droppedRecords = 0;
    }
};

// The end of a job waits this long for the dispatcher before it gives it up;
// a dispatcher given up counts as ended with kForcedExitCode.
inline constexpr uint32_t kDispatcherStopTimeoutMs = 10000;
inline constexpr uint32_t kForcedExitCode = 999;

inline constexpr uint32_t kPriorityStackSize = 10;

struct PriorityStack {
    int saved[kPriorityStackSize]{};
    uint32_t depth = 0;
    // Pushes beyond the ten entries: ignored, and their pops with them.
    uint32_t overflow = 0;

    void Reset() {
        depth = 0;
        overflow = 0;
    }
};

struct FlashContext {
    // Identity and services.
    FlashHandle* handle = nullptr;
    platform::Services services{};

    // The job's copy of the options.
    FlashOptions options{};

    // Paths: the data directory (the executable's, or FlashSetDataDirectory's),
    // ending with the path separator, and "platform.def" in it.
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

    // Threads and queue (job/thread_protocol.h tells who touches what).
    std::atomic<bool> queueMode{false};
    std::atomic<bool> abortRequested{false};
    std::unique_ptr<platform::Thread> dispatcherThread;
    std::unique_ptr<platform::Thread> protocolThread;
    std::unique_ptr<platform::Event> dataEvent;
    std::unique_ptr<platform::Event> drainedEvent;
    MessageRing ring;
    // Set from the start of FlashLoad's job to its end: a second start, a
    // change of the data directory, is refused meanwhile.
    std::atomic<bool> jobRunning{false};
    // Set when the dispatcher did not end in time at the end of a job and was
    // given up (its forced end): it calls the host no more.
    std::atomic<bool> dispatcherAbandoned{false};
    // How long the end of a job waits for the dispatcher (tests shorten it).
    uint32_t dispatcherStopTimeoutMs = kDispatcherStopTimeoutMs;
    // The exit code of the last job's dispatcher (kForcedExitCode after a forced end).
    uint32_t dispatcherExitCode = 0;

    // Job state.
    PriorityStack priorityStack{};
    uint32_t lastError = 0;
    uint32_t transferMode = 0;
    uint32_t progressTotal = 1;
    uint32_t progressDone = 0;
    uint32_t progressPercent = 0;

    platform::Clock& clock() { return *services.clock; }
};

// The handle's `context` member has the public, opaque type `::FlashContext`;
// it always holds a flashwire::FlashContext that FlashInit bound to it.
inline FlashContext* ContextOf(const FlashHandle* handle) {
    return handle ? reinterpret_cast<FlashContext*>(handle->context) : nullptr;
}
inline ::FlashContext* OpaqueContext(FlashContext* ctx) { return reinterpret_cast<::FlashContext*>(ctx); }

}  // namespace flashwire
