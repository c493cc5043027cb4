// Fuzzes the S-record reader: the input is written to a file and loaded into
// an image list of three buffers (64 KiB at address 0, 4 KiB at 0x01000000,
// 4 KiB ending at the top of the address space), with two reserved ranges.
//
// Invariants checked beyond memory safety (ASan/UBSan):
// - the result is one of the codes the reader documents;
// - on success the table of loaded ranges is sorted, non-overlapping and
//   merged (no two adjacent ranges), each range lies inside one buffer, and
//   with the range check on no range touches a reserved range.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "image/region_list.h"
#include "image/srec_reader.h"
#include "fuzz_support.h"
#include "job/context.h"

using namespace flashwire;

namespace {

using fuzz_support::Fail;
using fuzz_support::Quiet;
int32_t QuietBegin(FlashHandle*, const char*, uint32_t) { return 0; }
int32_t QuietUpdate(FlashHandle*, uint32_t, uint32_t) { return 0; }
int32_t QuietEnd(FlashHandle*) { return 0; }

const std::string& InputPath() {
    static const std::string path = fuzz_support::ScratchDir() + "input.srec";
    return path;
}

struct Bounds {
    uint32_t first, last;
};
// Small buffers: the reader fills every buffer with 0xFF per load, so their
// size is paid for by every input.
constexpr Bounds kBuffers[] = {{0x0, 0xFFFF}, {0x01000000, 0x01000FFF}, {0xFFFFF000, 0xFFFFFFFF}};
constexpr Bounds kReserved[] = {{0x8000, 0x80FF}, {0x01000000, 0x01000010}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    {
        std::FILE* f = std::fopen(InputPath().c_str(), "wb");
        if (!f) return 0;
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    static FlashHandle handle = [] {
        FlashHandle h{};
        h.size = sizeof(FlashHandle);
        h.message = &Quiet;
        h.progressBegin = &QuietBegin;
        h.progressUpdate = &QuietUpdate;
        h.progressEnd = &QuietEnd;
        return h;
    }();
    // One context for the whole run (a fresh one per input is slow under the
    // sanitizers); every input starts from an empty range table.
    static const std::unique_ptr<flashwire::FlashContext> ctx = [] {
        auto c = std::make_unique<flashwire::FlashContext>();
        c->services = platform::SystemServices();
        c->handle = &handle;
        c->debug = true;
        for (const Bounds& r : kReserved) {
            const uint32_t n = c->plan.reservedCount;
            c->plan.reserved[n] = {r.first, r.last};
            c->plan.reservedCount = n + 1;
        }
        RegionList& l = c->imageList();
        l.bufferCount = 3;
        for (uint32_t i = 0; i < 3; ++i) {
            l.buffers[i].first = kBuffers[i].first;
            l.buffers[i].last = kBuffers[i].last;
            l.buffers[i].data = std::make_unique<uint8_t[]>(RegionLength(l.buffers[i]));
        }
        return c;
    }();
    RegionList& list = ctx->imageList();
    list.rangeCount = 0;
    const bool rangeCheck = size % 2 == 1;
    const uint32_t rc = LoadSRecordFile(*ctx, list, InputPath().c_str(), rangeCheck, ctx->plan.ReservedRanges());
    switch (rc) {
        case SUCCESS: case ERR_FILEIO: case ERR_ABORT: case ERR_BAD_SREC_FILE: case ERR_BAD_SREC_ADDR:
        case ERR_BAD_SREC_CHECKSUM: case ERR_TOO_MANY_RANGES:
            break;
        default:
            Fail("undocumented result code");
    }
    if (rc != SUCCESS) return 0;
    if (list.rangeCount > kMaxLoadedRanges) Fail("range count above the table size");
    for (uint32_t i = 0; i < list.rangeCount; ++i) {
        const uint32_t first = list.ranges[i].first, last = list.ranges[i].last;
        if (first > last) Fail("range with first above last");
        bool inside = false;
        for (const Bounds& b : kBuffers) inside = inside || (first >= b.first && last <= b.last);
        if (!inside) Fail("range outside every buffer");
        if (rangeCheck)
            for (const Bounds& r : kReserved)
                if (first <= r.last && r.first <= last) Fail("range touches a reserved range");
        if (i + 1 < list.rangeCount) {
            const uint32_t next = list.ranges[i + 1].first;
            if (last >= next) Fail("ranges unsorted or overlapping");
            if (last + 1 == next) Fail("adjacent ranges not merged");
        }
    }
    return 0;
}
