// Times LoadSRecordFile on one S-record file with progress reporting on and
// checks the loaded bytes against the binary image the file was made from.
// Usage: srec_load_bench FILE.srec IMAGE.bin [RUNS]
// The image lies at address 0; the buffer is the image's size. Prints
// "load_seconds S" (the best of RUNS loads) and "progress_updates N".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "image/srec_reader.h"
#include "job/context.h"
#include "platform/platform.h"

namespace {

struct Counters {
    FlashHandle handle{};
    unsigned progressUpdates = 0;
    unsigned errors = 0;
};

Counters& Of(FlashHandle* h) { return *reinterpret_cast<Counters*>(h); }

int32_t OnMessage(FlashHandle* h, int32_t level, const char* text) {
    if (level > 0) {
        ++Of(h).errors;
        std::fprintf(stderr, "%s\n", text);
    }
    return 0;
}
int32_t OnProgressBegin(FlashHandle*, const char*, uint32_t) { return 0; }
int32_t OnProgressUpdate(FlashHandle* h, uint32_t, uint32_t) {
    ++Of(h).progressUpdates;
    return 0;
}
int32_t OnProgressEnd(FlashHandle*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE.srec IMAGE.bin [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }

    auto counters = std::make_unique<Counters>();
    counters->handle.size = sizeof(FlashHandle);
    counters->handle.message = &OnMessage;
    counters->handle.progressBegin = &OnProgressBegin;
    counters->handle.progressUpdate = &OnProgressUpdate;
    counters->handle.progressEnd = &OnProgressEnd;

    auto ctx = std::make_unique<flashwire::FlashContext>();
    ctx->services = flashwire::platform::SystemServices();
    ctx->handle = &counters->handle;
    flashwire::RegionList& list = ctx->imageList();
    list.bufferCount = 1;
    list.buffers[0].first = 0;
    list.buffers[0].last = static_cast<uint32_t>(image.size() - 1);
    list.buffers[0].data = std::make_unique<uint8_t[]>(image.size());

    double best = 1e30;
    unsigned updates = 0;
    for (int run = 0; run < runs; ++run) {
        counters->progressUpdates = 0;
        const auto start = std::chrono::steady_clock::now();
        const uint32_t rc = flashwire::LoadSRecordFile(*ctx, list, argv[1], true);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (rc != SUCCESS || counters->errors != 0) {
            std::fprintf(stderr, "load failed: %u\n", rc);
            return 1;
        }
        if (took.count() < best) best = took.count();
        updates = counters->progressUpdates;
    }
    if (list.rangeCount != 1 || list.ranges[0].first != 0 || list.ranges[0].last != image.size() - 1 ||
        std::memcmp(list.buffers[0].data.get(), image.data(), image.size()) != 0) {
        std::fprintf(stderr, "loaded bytes differ from the image\n");
        return 1;
    }
    std::printf("load_seconds %.4f\nprogress_updates %u\n", best, updates);
    return 0;
}
