// The message ring: producers store records, the dispatcher delivers them to
// the host's callbacks in the order they were stored.
//
// A record lies whole between its position and the end of the storage; a
// record that would reach the end is preceded by a filler that carries the
// write position past the end (to 0). A store never overwrites a record that
// has not been delivered and never lets the write position catch up with the
// read position (equal positions mean empty): a producer that finds no room
// wakes the dispatcher and waits for it (bounded), and drops the record when
// there is still no room.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/invariant.h"
#include "session/reporting.h"

namespace flashwire {
namespace {

struct RecordHeader {
    uint32_t size;
    uint32_t contextTag;
    uint32_t time;
    uint32_t kind;
    uint32_t arg1;
    uint32_t arg2;
};
static_assert(sizeof(RecordHeader) == kRecordHeaderSize);

constexpr uint32_t kMaxFlushRounds = 64;

uint32_t ContextTag(const Session& ctx) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&ctx));
}

uint32_t Ticks(Session& ctx) { return ctx.services.clock ? ctx.services.clock->Ticks() : 0; }

bool HasText(RecordKind kind) {
    return kind == RecordKind::Message || kind == RecordKind::ProgressBegin || kind == RecordKind::Status;
}

uint32_t Advance(uint32_t pos, uint32_t size) {
    const uint64_t next = static_cast<uint64_t>(pos) + size;
    return next >= kRingSize ? 0 : static_cast<uint32_t>(next);
}

// True when a record of `size` bytes may be written at w while the
// dispatcher's read position is r.
bool HasRoom(uint32_t w, uint32_t r, uint32_t size, bool filler) {
    if (w < r) {
        // Free bytes are [w, r); the write position must stay below r, or the
        // ring would look empty. A filler runs to the end, past r.
        return !filler && w + size < r;
    }
    // Free bytes are [w, end) and [0, r). A record ends before the end (the
    // caller placed a filler otherwise); a filler wraps the write position to
    // 0, which must not be the read position unless the ring is empty.
    if (filler) return r != 0 || w == r;
    return w + size < kRingSize;
}

struct Prototype {
    RecordKind kind;
    uint32_t arg1;
    uint32_t arg2;
    std::string_view text;  // kinds with text only; at most kMaxLineLength
    uint32_t fillerCover;   // filler only: the bytes it covers
};

uint32_t RecordSize(const Prototype& p) {
    if (p.kind == RecordKind::Filler) return kRecordHeaderSize + p.fillerCover;
    if (HasText(p.kind)) return kRecordHeaderSize + static_cast<uint32_t>(p.text.size()) + 1;
    return kRecordHeaderSize;
}

struct PlaceResult {
    bool stored = false;
    bool waited = false;  // the ring was full and the producer waited for the host
};

void WriteRecord(Session& ctx, uint32_t w, uint32_t size, const Prototype& p) {
    MessageRing& ring = ctx.ring;
    // A record starts inside the ring and holds its header; a record ends
    // before the ring's end (a filler's header alone may reach past it, into
    // the spare bytes); a text fits its line.
    FLASHWIRE_ASSERT(w < kRingSize && size >= kRecordHeaderSize && p.text.size() <= kMaxLineLength);
    FLASHWIRE_ASSERT(p.kind == RecordKind::Filler || w + size < kRingSize);
    FLASHWIRE_ASSERT(size == RecordSize(p));
    RecordHeader h{size, ContextTag(ctx), Ticks(ctx), static_cast<uint32_t>(p.kind), p.arg1, p.arg2};
    if (HasText(p.kind)) {
        const uint32_t textOffset = w + kRecordHeaderSize;
        std::memcpy(ring.storage + textOffset, p.text.data(), p.text.size());
        ring.storage[textOffset + p.text.size()] = 0;
        // The text member holds the offset of the record's own copy.
        if (p.kind == RecordKind::Status)
            h.arg1 = textOffset;
        else
            h.arg2 = textOffset;
    }
    std::memcpy(ring.storage + w, &h, sizeof(h));
}

// Stores one record (with the filler it needs) at the write position.
// Called with producerMutex held.
PlaceResult Place(Session& ctx, const Prototype& p, bool mayWait) {
    MessageRing& ring = ctx.ring;
    PlaceResult result;
    const uint32_t size = RecordSize(p);
    const bool filler = p.kind == RecordKind::Filler;
    if (!filler && ring.writePos.load(std::memory_order_relaxed) + size >= kRingSize) {
        const PlaceResult f = Place(ctx, Prototype{RecordKind::Filler, 0, 0, {}, size}, mayWait);
        result.waited = f.waited;
        if (!f.stored) return result;
        // The filler got its room; the record's own wait below is the only other one.
    }
    const uint32_t w = ring.writePos.load(std::memory_order_relaxed);
    if (!HasRoom(w, ring.readPos.load(std::memory_order_acquire), size, filler)) {
        if (!mayWait) return result;
        result.waited = true;
        FlushToHost(ctx);
        if (!HasRoom(w, ring.readPos.load(std::memory_order_acquire), size, filler)) return result;
    }
    WriteRecord(ctx, w, size, p);
    ring.writePos.store(Advance(w, size), std::memory_order_release);
    // Set, not pulsed: a dispatcher that is busy delivering or polling the
    // host when the record lands finds the signal at its next wait instead of
    // sleeping out its whole wait (and a pulse is unreliable on some systems).
    if (ctx.dataEvent) ctx.dataEvent->Set();
    result.stored = true;
    return result;
}

Prototype TextRecord(RecordKind kind, uint32_t arg1, uint32_t arg2, const char* text) {
    std::string_view view;
    if (text) view = std::string_view(text, strnlen(text, kMaxLineLength));
    return Prototype{kind, arg1, arg2, view, 0};
}

bool PlaceDropNotice(Session& ctx) {
    char line[kMaxLineLength + 1];
    std::snprintf(line, sizeof(line), "Dropped %u message(s): the host did not take them in time",
                  ctx.ring.droppedRecords);
    if (!Place(ctx, TextRecord(RecordKind::Message, 0, 0, line), false).stored) return false;
    ctx.ring.droppedRecords = 0;
    return true;
}

}  // namespace

void EnqueueRecord(Session& ctx, RecordKind kind, uint32_t arg1, uint32_t arg2, const char* text) {
    if (kind == RecordKind::Filler) return;  // fillers are the ring's own business
    MessageRing& ring = ctx.ring;
    std::lock_guard lock(ring.producerMutex);
    if (ctx.drainedEvent) ctx.drainedEvent->Reset();

    // Tell about earlier drops first once the dispatcher has emptied the ring;
    // while it is still full the notice follows the first record that fits.
    if (ring.droppedRecords > 0 &&
        ring.readPos.load(std::memory_order_acquire) == ring.writePos.load(std::memory_order_relaxed))
        PlaceDropNotice(ctx);

    const PlaceResult placed = Place(ctx, TextRecord(kind, arg1, arg2, HasText(kind) ? text : nullptr), true);
    if (!placed.stored) {
        ++ring.droppedRecords;
        return;
    }
    if (ring.droppedRecords > 0) PlaceDropNotice(ctx);
    if (placed.waited &&
        !Place(ctx, TextRecord(RecordKind::Message, 0, 0, "Prevented message overflow !"), false).stored)
        ++ring.droppedRecords;
}

bool DeliverOneRecord(Session& ctx) {
    MessageRing& ring = ctx.ring;
    const uint32_t r = ring.readPos.load(std::memory_order_relaxed);
    const uint32_t w = ring.writePos.load(std::memory_order_acquire);
    if (r == w) return false;

    RecordHeader h;
    std::memcpy(&h, ring.storage + r, sizeof(h));
    const auto kind = static_cast<RecordKind>(h.kind);
    const bool valid = h.size >= kRecordHeaderSize && h.kind <= static_cast<uint32_t>(RecordKind::ProgressEnd) &&
                       h.contextTag == ContextTag(ctx) &&
                       (kind == RecordKind::Filler || r + h.size <= kRingSize);
    // Both positions lie inside the ring (a damaged record is skipped below).
    FLASHWIRE_ASSERT(r < kRingSize && w < kRingSize);
    if (!valid) {
        // Never happens unless the context's memory was damaged: skip
        // everything stored rather than hand garbage to the host.
        ring.readPos.store(w, std::memory_order_release);
        return true;
    }
    const char* text = nullptr;
    if (HasText(kind)) {
        const uint32_t offset = kind == RecordKind::Status ? h.arg1 : h.arg2;
        if (offset == r + kRecordHeaderSize && ring.storage[r + h.size - 1] == 0)
            text = reinterpret_cast<const char*>(ring.storage + offset);
        else
            text = "";
    }

    FlashHandle* handle = ctx.handle;
    if (handle) {
        switch (kind) {
            case RecordKind::Message:
                if (handle->message) handle->message(handle, static_cast<int32_t>(h.arg1), text);
                break;
            case RecordKind::ProgressBegin:
                if (handle->progressBegin) handle->progressBegin(handle, text, h.arg1);
                break;
            case RecordKind::ProgressUpdate:
                if (handle->progressUpdate) handle->progressUpdate(handle, h.arg1, h.arg2);
                break;
            case RecordKind::Status:
                if (handle->status) handle->status(handle, text);
                break;
            case RecordKind::ProgressEnd:
                if (handle->progressEnd) handle->progressEnd(handle);
                break;
            case RecordKind::Filler:
                break;
        }
    }
    ring.readPos.store(Advance(r, h.size), std::memory_order_release);
    return true;
}

void FlushToHost(Session& ctx) {
    if (!ctx.queueMode.load(std::memory_order_acquire)) return;
    if (!ctx.dataEvent || !ctx.drainedEvent) return;  // no dispatcher to wait for
    MessageRing& ring = ctx.ring;
    const uint32_t timeout = ring.flushTimeoutMs;
    const uint32_t start = Ticks(ctx);
    auto empty = [&] {
        return ring.readPos.load(std::memory_order_acquire) == ring.writePos.load(std::memory_order_acquire);
    };
    // The dispatcher sets drainedEvent after every round of deliveries; a set
    // that belongs to a round before the latest store is caught by looking at
    // the positions again.
    for (uint32_t round = 0; round < kMaxFlushRounds; ++round) {
        if (empty()) return;
        const uint32_t elapsed = Ticks(ctx) - start;
        if (elapsed >= timeout) return;
        ctx.drainedEvent->Reset();
        if (empty()) return;
        ctx.dataEvent->Set();
        if (!ctx.drainedEvent->Wait(timeout - elapsed)) return;
    }
}

}  // namespace flashwire
