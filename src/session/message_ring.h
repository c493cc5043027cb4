// The message ring between a job's threads and the dispatcher: a bounded
// store of records that the dispatcher hands to the host's callbacks in the
// order they were stored.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace flashwire {

inline constexpr uint32_t kRingSize = 16384;
inline constexpr uint32_t kRecordHeaderSize = 24;
// How long a producer that finds the ring full waits for the dispatcher.
inline constexpr uint32_t kFlushTimeoutMs = 15000;

enum class RecordKind : uint32_t { Filler = 0, Message = 1, ProgressBegin = 2, ProgressUpdate = 3, Status = 4, ProgressEnd = 5 };

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

}  // namespace flashwire
