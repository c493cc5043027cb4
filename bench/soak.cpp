// soak: many whole jobs through FlashLoad on the simulated phone's virtual
// clock, with the process's memory, descriptors and threads measured before
// and after. First jobs in a row on one handle, then several handles side by
// side (one thread, one simulated phone and one handle each); every handle
// mixes flash, verify and read jobs of small images.
//
// Every job must return SUCCESS; after a flash or verify job the phone holds
// the image, after a read job the saved file holds the phone's bytes. Each
// handle first runs warm-up jobs; from then on the growth must stay within
// the bounds below: the same number of descriptors and threads, the live heap
// within kHeapBoundKiB and, for the jobs in a row, the resident set within
// kRssBoundKiB (measured after the C library has given back the free memory
// of its arenas). The resident set of handles side by side is only reported:
// the C library's per-thread arenas keep the freed buffers of jobs that ran
// on other threads (each job takes full-size image buffers), so it grows
// while the live heap does not. Under a sanitizer (quarantine, shadow memory)
// the resident set is only reported, the live heap is the allocator's count.
//
// Usage: soak [jobs-in-a-row [handles [jobs-per-handle]]]   (default 1000 8 100)
// Exit status 0 when every job succeeded and every bound held.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job/lifecycle.h"
#include "sim/image_files.h"
#include "sim/phone_factory.h"
#include "sim/virtual_link.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAK_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SOAK_SANITIZER 1
#endif
#endif
#ifdef SOAK_SANITIZER
// The sanitizer allocator's count of live bytes (not every compiler ships the
// header that declares it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace fs = std::filesystem;
using namespace flashwire;

namespace {

constexpr long kHeapBoundKiB = 256;
constexpr long kRssBoundKiB = 2048;
// Jobs a handle runs before the first measurement: in a row, by then the
// allocator has reached the size it keeps for the handle's jobs; side by side
// enough for every kind of job on every thread.
constexpr uint32_t kWarmUpInRow = 30;
constexpr uint32_t kWarmUpSideBySide = 6;
// A joined thread may still be listed for a moment after the join.
constexpr int kThreadSettleMs = 2000;

const std::string kConfigDir = std::string(FLASHWIRE_BINARY_DIR) + "/";

// ---- What the process holds.
struct Usage {
    long rssKiB = 0;
    long heapKiB = 0;
    int fds = 0;
    int threads = 0;
};

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

Usage Measure() {
    Usage u;
#ifndef SOAK_SANITIZER
    // Free memory the C library still holds in its arenas goes back first, so
    // the resident set counts what is in use, not where freed buffers lie.
    malloc_trim(0);
#endif
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    u.rssKiB = resident * (sysconf(_SC_PAGESIZE) / 1024);
#ifdef SOAK_SANITIZER
    u.heapKiB = static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    const struct mallinfo2 m = mallinfo2();
    u.heapKiB = static_cast<long>((m.uordblks + m.hblkhd) / 1024);  // in the arenas and mmapped
#endif
    u.fds = CountEntries("/proc/self/fd") - 1;  // less the directory being read
    u.threads = CountEntries("/proc/self/task");
    return u;
}

// The usage once the threads of finished jobs are gone: at most `threads`
// threads, or (threads < 0) the same count twice 20 ms apart. Bounded wait.
Usage MeasureSettled(int threads) {
    Usage u = Measure();
    for (int waited = 0; waited < kThreadSettleMs; waited += 20) {
        if (threads >= 0 && u.threads <= threads) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const Usage again = Measure();
        if (threads < 0 && again.threads == u.threads) break;
        u = again;
    }
    return u;
}

// ---- Images and files.
using Image = sim::ImageBytes;
using sim::Pattern;

// ---- One handle on its own simulated phone.
struct Platform {
    const char* name;
    const char* ports;
};
constexpr Platform kPlatforms[] = {
    {"demo-passive", "/com=1,2"}, {"demo-active", "/com=1"}, {"demo-passive-setup", "/com=1,2"}};

struct Failures {
    std::atomic<long> count{0};
    std::mutex mutex;
    std::string first;
    void Add(const std::string& what) {
        if (count++ == 0) {
            std::lock_guard lock(mutex);
            first = what;
        }
    }
};

class Soaker {
public:
    Soaker(const Platform& platform, uint32_t id, Failures& failures)
        : platform_(platform), id_(id), failures_(failures),
          dir_(fs::temp_directory_path() / ("flashwire-soak-" + std::to_string(::getpid()) + "-" + std::to_string(id))) {
        fs::create_directories(dir_);
        std::string error;
        sim::PhoneConfig config = sim::PhoneConfigForPlatform(kConfigDir, platform.name, &error);
        if (!error.empty()) {
            failures_.Add(std::string(platform.name) + ": " + error);
            return;
        }
        config.requireLoaderSignature = false;
        link_ = std::make_unique<sim::VirtualLink>(config, id + 1);
        // Two images over the same ranges: every flash job changes the phone.
        for (uint32_t k = 0; k < 2; ++k) {
            images_[k] = {{0x1F00, Pattern(0x1100, id * 2 + k + 1)}, {0x30000, Pattern(333, id * 2 + k + 101)}};
            paths_[k] = (dir_ / ("image" + std::to_string(k) + ".s19")).string();
            sim::WriteS3File(paths_[k], images_[k]);
        }
        host_.handle.size = sizeof(FlashHandle);
        if (InitHandle(&host_.handle, &defaults_, link_->Services()) != SUCCESS ||
            FlashSetDataDirectory(&host_.handle, kConfigDir.c_str()) != SUCCESS) {
            failures_.Add("handle " + std::to_string(id) + ": could not be bound");
            link_.reset();
            return;
        }
        host_.handle.message = [](FlashHandle* h, int32_t level, const char* text) {
            Host& host = *reinterpret_cast<Host*>(h);
            if (level > 0) host.lastError = text;
            return 0;
        };
        host_.handle.status = [](FlashHandle* h, const char* text) {
            reinterpret_cast<Host*>(h)->lastStatus = text;
            return 0;
        };
    }
    ~Soaker() {
        if (link_) FlashFinish(&host_.handle);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Job n of this handle: flash, verify, read in turn, the image alternating
    // every three jobs. False (with the failure recorded) when it went wrong.
    bool RunJob(uint32_t n) {
        if (!link_) return false;
        const uint32_t kind = n % 3;
        const Image& image = images_[(n / 3) % 2];
        const std::string& path = paths_[(n / 3) % 2];
        const std::string saved = (dir_ / "read.s19").string();
        std::string text = std::string("/platform=") + platform_.name + " " + platform_.ports +
                           " /maxspeed=921600,921600 /diff=0 ";
        if (kind == 0) text += "/mode=flash /file=" + path;
        if (kind == 1) text += "/mode=verify /file=" + path;
        if (kind == 2) text += "/mode=read /savefile=" + saved + " /read=0x1F00-0x2FFF /read=0x30000-0x3014C";
        FlashOptions options = defaults_;
        int32_t accepted = 0;
        if (FlashParseOptionString(&host_.handle, text.c_str(), &accepted, &options) != SUCCESS)
            return Fail(n, "options refused: " + text);
        // Every job from power-on; the flash keeps its contents.
        const uint32_t at = link_->clock().Ticks() + 1;
        link_->PowerOnAtMs(at);
        link_->AdvanceToUs(static_cast<uint64_t>(at) * 1000);
        const uint64_t start = link_->NowUs();
        const uint32_t result = FlashLoad(&host_.handle, &options);
        virtualUs_ += link_->NowUs() - start;
        if (result != SUCCESS) {
            char name[64] = "?";
            FlashGetErrorString(result, name);
            return Fail(n, std::string(name) + " (" + host_.lastError + "; status " + host_.lastStatus + ")");
        }
        const sim::NorFlash& flash = link_->phone().flash();
        if (kind != 2) {
            for (const auto& [address, bytes] : image)
                if (flash.Read(address, static_cast<uint32_t>(bytes.size())) != bytes)
                    return Fail(n, "the phone's flash differs from the image");
        } else {
            const auto read = sim::ReadSRecordBytes(saved);
            if (read.size() != 0x1100u + 333u) return Fail(n, "the saved file holds " + std::to_string(read.size()) + " bytes");
            for (const auto& [address, byte] : read)
                if (flash.ReadByte(address) != byte) return Fail(n, "the saved file differs from the phone's flash");
        }
        link_->phone().ClearLogs();
        return true;
    }

    uint64_t virtualUs() const { return virtualUs_; }

private:
    struct Host {
        FlashHandle handle{};  // first: a callback finds the host from it
        std::string lastError, lastStatus;
    };

    bool Fail(uint32_t n, const std::string& what) {
        static const char* const kKinds[] = {"flash", "verify", "read"};
        failures_.Add(std::string(platform_.name) + " handle " + std::to_string(id_) + " job " + std::to_string(n) +
                      " (" + kKinds[n % 3] + "): " + what);
        return false;
    }

    Platform platform_;
    uint32_t id_;
    Failures& failures_;
    fs::path dir_;
    std::unique_ptr<sim::VirtualLink> link_;
    Host host_;
    FlashOptions defaults_{};
    Image images_[2];
    std::string paths_[2];
    uint64_t virtualUs_ = 0;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Phase {
    Usage before, after;
    double seconds = 0;
    uint64_t virtualUs = 0;
};

// Jobs in a row on one handle: measured after the handle's warm-up jobs and
// after its last job (the handle still bound).
Phase RunInRow(uint32_t jobs, Failures& failures) {
    Phase phase;
    Soaker soaker(kPlatforms[0], 0, failures);
    uint32_t n = 0;
    while (n < kWarmUpInRow && soaker.RunJob(n)) ++n;
    phase.before = MeasureSettled(-1);
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t v0 = soaker.virtualUs();
    for (uint32_t i = 0; i < jobs && soaker.RunJob(n); ++i, ++n) {
    }
    phase.seconds = Seconds(t0);
    phase.virtualUs = soaker.virtualUs() - v0;
    phase.after = MeasureSettled(phase.before.threads);
    return phase;
}

// Handles side by side, each on its own thread: all warm up, then the
// process is measured, all run their jobs, and it is measured again.
Phase RunSideBySide(uint32_t handles, uint32_t jobs, Failures& failures) {
    Phase phase;
    std::barrier sync(static_cast<std::ptrdiff_t>(handles) + 1);
    std::atomic<uint64_t> virtualUs{0};
    std::vector<std::thread> threads;
    for (uint32_t h = 0; h < handles; ++h)
        threads.emplace_back([&, h] {
            Soaker soaker(kPlatforms[h % 3], 1 + h, failures);
            uint32_t n = 0;
            bool ok = true;
            while (ok && n < kWarmUpSideBySide) ok = soaker.RunJob(n++);
            sync.arrive_and_wait();  // warmed up
            sync.arrive_and_wait();  // measured
            const uint64_t v0 = soaker.virtualUs();
            for (uint32_t i = 0; ok && i < jobs; ++i) ok = soaker.RunJob(n++);
            virtualUs += soaker.virtualUs() - v0;
            sync.arrive_and_wait();  // done
            sync.arrive_and_wait();  // measured: the handle may go
        });
    sync.arrive_and_wait();
    phase.before = MeasureSettled(-1);
    const auto t0 = std::chrono::steady_clock::now();
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    phase.seconds = Seconds(t0);
    phase.after = MeasureSettled(phase.before.threads);
    sync.arrive_and_wait();
    for (std::thread& t : threads) t.join();
    phase.virtualUs = virtualUs;
    return phase;
}

void PrintUsage(const char* when, const Usage& u) {
    std::printf("  %-22s RSS %6ld KiB  heap %6ld KiB  fds %3d  threads %2d\n", when, u.rssKiB, u.heapKiB, u.fds,
                u.threads);
}

// Growth from before to after within the bounds (the resident set only when
// checkRss); prints what it finds.
bool WithinBounds(const char* what, const Usage& before, const Usage& after, bool checkRss) {
    bool ok = after.fds == before.fds && after.threads == before.threads &&
              after.heapKiB - before.heapKiB <= kHeapBoundKiB;
#ifdef SOAK_SANITIZER
    checkRss = false;
#endif
    if (checkRss) ok = ok && after.rssKiB - before.rssKiB <= kRssBoundKiB;
    std::printf("  %s growth: RSS %+ld KiB%s, heap %+ld KiB, fds %+d, threads %+d: %s\n", what,
                after.rssKiB - before.rssKiB, checkRss ? "" : " (not checked)", after.heapKiB - before.heapKiB,
                after.fds - before.fds, after.threads - before.threads, ok ? "within bounds" : "BEYOND BOUNDS");
    return ok;
}

uint32_t Argument(int argc, char** argv, int i, uint32_t fallback) {
    if (argc <= i) return fallback;
    const unsigned long v = std::strtoul(argv[i], nullptr, 10);
    return v >= 1 && v <= 100000 ? static_cast<uint32_t>(v) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t inRow = Argument(argc, argv, 1, 1000);
    const uint32_t handles = Argument(argc, argv, 2, 8);
    const uint32_t perHandle = Argument(argc, argv, 3, 100);
    if (inRow == 0 || handles == 0 || perHandle == 0 || handles > 64) {
        std::fprintf(stderr, "usage: soak [jobs-in-a-row [handles (1..64) [jobs-per-handle]]] (1..100000 jobs)\n");
        return 2;
    }
    Failures failures;
    std::printf("soak: %u jobs in a row on one handle, then %u handles x %u jobs side by side\n", inRow, handles,
                perHandle);
    std::printf("  bounds: fds and threads unchanged, live heap growth <= %ld KiB, RSS growth in a row <= %ld KiB%s\n",
                kHeapBoundKiB, kRssBoundKiB,
#ifdef SOAK_SANITIZER
                " (RSS not checked under a sanitizer)"
#else
                ""
#endif
    );

    bool ok = true;
    const Phase row = RunInRow(inRow, failures);
    std::printf("  in a row: %u jobs in %.2f s (%.1f jobs/s), %.0f s of phone time\n", inRow, row.seconds,
                inRow / row.seconds, static_cast<double>(row.virtualUs) / 1e6);
    PrintUsage("before", row.before);
    PrintUsage("after", row.after);
    ok = WithinBounds("in a row", row.before, row.after, true) && ok;

    const Phase side = RunSideBySide(handles, perHandle, failures);
    std::printf("  side by side: %u x %u jobs in %.2f s (%.1f jobs/s), %.0f s of phone time\n", handles, perHandle,
                side.seconds, handles * perHandle / side.seconds, static_cast<double>(side.virtualUs) / 1e6);
    PrintUsage("before", side.before);
    PrintUsage("after", side.after);
    ok = WithinBounds("side by side", side.before, side.after, false) && ok;

    if (failures.count != 0) {
        std::lock_guard lock(failures.mutex);
        std::printf("  %ld failed job(s); the first: %s\n", failures.count.load(), failures.first.c_str());
        ok = false;
    }
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
