// Fuzzes the host's protocol stack: a whole flash, verify or read job (boot
// stage and flash-loader stage) against a phone that answers with bytes taken
// from the input, on a virtual clock. The input format is in
// fuzz/protocol_session.h, the harness and its invariants in
// fuzz/protocol_harness.cpp; a broken invariant prints "INVARIANT FAILED" and
// aborts. At exit a line of figures: runs, results, aborted runs and the
// longest job after the phone's last byte.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "fuzz/protocol_harness.h"
#include "fuzz_support.h"

// ---- Large blocks from a cache.
//
// Every job allocates its context (110 KB), its image buffers (one per 1 MiB
// bank) and the two loader buffers (128 KiB), and releases them at its end.
// Under the sanitizer a fresh block is fresh memory (freed ones wait in the
// quarantine), and touching it (the context is zeroed, the S-record reader
// fills every buffer) costs page faults: most of the time of an input went
// there. Blocks of 64 KiB and more come from a small cache instead and keep
// what the sanitizer checks: the bytes before and behind a block are
// poisoned, and a cached block is poisoned whole until it is handed out again
// (a use after the job's end is still caught, unless the next job has taken
// the block meanwhile). Smaller blocks go to malloc.
namespace {

constexpr std::size_t kCachedFrom = 64 * 1024;
constexpr std::size_t kGuard = 64;  // poisoned bytes before and behind a block
constexpr std::size_t kSlots = 16;

struct Block {
    unsigned char* base = nullptr;  // kGuard + size + kGuard bytes
    std::size_t size = 0;
    bool live = false;
};
std::array<Block, kSlots> blocks;

void* CachedNew(std::size_t n) {
    if (n >= kCachedFrom) {
        Block* reuse = nullptr;
        Block* empty = nullptr;
        Block* idle = nullptr;
        for (Block& b : blocks) {
            if (!b.live && b.base != nullptr && b.size == n && reuse == nullptr) reuse = &b;
            if (b.base == nullptr && empty == nullptr) empty = &b;
            if (!b.live && b.base != nullptr && idle == nullptr) idle = &b;
        }
        if (reuse == nullptr && empty == nullptr && idle != nullptr) {
            // No block of this size: the first idle one of another size makes room.
            ASAN_UNPOISON_MEMORY_REGION(idle->base, idle->size + 2 * kGuard);
            std::free(idle->base);
            *idle = Block{};
            empty = idle;
        }
        Block* b = reuse != nullptr ? reuse : empty;
        if (b != nullptr) {
            if (b->base == nullptr) {
                b->base = static_cast<unsigned char*>(std::malloc(n + 2 * kGuard));
                if (b->base == nullptr) throw std::bad_alloc();
                b->size = n;
                ASAN_POISON_MEMORY_REGION(b->base, n + 2 * kGuard);
            }
            b->live = true;
            ASAN_UNPOISON_MEMORY_REGION(b->base + kGuard, n);
            return b->base + kGuard;
        }
    }
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void CachedDelete(void* p) {
    if (p == nullptr) return;
    for (Block& b : blocks) {
        if (b.live && b.base + kGuard == p) {
            b.live = false;
            ASAN_POISON_MEMORY_REGION(b.base + kGuard, b.size);
            return;
        }
    }
    std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return CachedNew(n); }
void* operator new[](std::size_t n) { return CachedNew(n); }
void operator delete(void* p) noexcept { CachedDelete(p); }
void operator delete(void* p, std::size_t) noexcept { CachedDelete(p); }
void operator delete[](void* p) noexcept { CachedDelete(p); }
void operator delete[](void* p, std::size_t) noexcept { CachedDelete(p); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return CachedNew(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CachedDelete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CachedDelete(p); }

namespace {

struct Figures {
    uint64_t runs = 0, successes = 0, aborted = 0, worstTailMs = 0, worstCalls = 0;
    ~Figures() {
        std::fprintf(stderr,
                     "protocol_fuzz: %llu runs, %llu SUCCESS, %llu ended by the abort request, longest job after "
                     "the phone's last byte %llu ms (not aborted), most calls %llu\n",
                     static_cast<unsigned long long>(runs), static_cast<unsigned long long>(successes),
                     static_cast<unsigned long long>(aborted), static_cast<unsigned long long>(worstTailMs),
                     static_cast<unsigned long long>(worstCalls));
    }
};
Figures figures;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const protocol_fuzz::Outcome out = protocol_fuzz::RunInput(std::span<const uint8_t>(data, size));
    if (!out.violation.empty()) fuzz_support::Fail(out.violation.c_str());
    ++figures.runs;
    if (out.result == 0) ++figures.successes;
    if (out.aborted) ++figures.aborted;
    if (!out.aborted && out.endMs - out.lastByteMs > figures.worstTailMs) figures.worstTailMs = out.endMs - out.lastByteMs;
    if (out.calls > figures.worstCalls) figures.worstCalls = out.calls;
    return 0;
}
