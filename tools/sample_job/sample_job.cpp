// flashwire-sample-job: the library's main job on the simulated phone, in
// process on its virtual clock. Generates a sample image, flashes it over two
// ports at 921600 baud, verifies it, reads it back, and compares what was
// read with the image and with the phone's flash.
//
// Usage: flashwire-sample-job [platform [image-KiB]]   (default demo-passive 1024)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "api/options.h"
#include "job/lifecycle.h"
#include "job/run_job.h"
#include "job/thread_protocol.h"
#include "sim/phone_factory.h"
#include "sim/virtual_link.h"

namespace fs = std::filesystem;
using namespace flashwire;

namespace {

// Lines of level 1 and 2, and the final status, go to the terminal.
int32_t OnMessage(FlashHandle*, int32_t level, const char* text) {
    if (level > 0) std::printf("  [%d] %s\n", level, text);
    return 0;
}
int32_t OnStatus(FlashHandle*, const char* text) {
    std::printf("  status: %s\n", text);
    return 0;
}

std::vector<uint8_t> SampleBytes(std::size_t n) {
    std::vector<uint8_t> out(n);
    uint32_t x = 12345;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

void WriteSRecords(const std::string& path, uint32_t base, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path);
    out << "S00600004844521B\n";
    for (std::size_t at = 0; at < bytes.size(); at += 32) {
        const std::size_t n = std::min<std::size_t>(32, bytes.size() - at);
        const uint32_t address = base + static_cast<uint32_t>(at);
        unsigned sum = static_cast<unsigned>(n + 5);
        char text[8];
        std::snprintf(text, sizeof text, "S3%02X", static_cast<unsigned>(n + 5));
        out << text;
        for (int i = 3; i >= 0; --i) {
            const unsigned b = (address >> (8 * i)) & 0xFFu;
            sum += b;
            std::snprintf(text, sizeof text, "%02X", b);
            out << text;
        }
        for (std::size_t i = 0; i < n; ++i) {
            sum += bytes[at + i];
            std::snprintf(text, sizeof text, "%02X", bytes[at + i]);
            out << text;
        }
        std::snprintf(text, sizeof text, "%02X\n", (~sum) & 0xFFu);
        out << text;
    }
    out << "S70500000000FA\n";
}

// The data bytes of an S-record file by address.
std::map<uint32_t, uint8_t> ReadSRecords(const std::string& path) {
    std::map<uint32_t, uint8_t> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 12 || line[0] != 'S' || line[1] != '3') continue;
        auto at = [&](std::size_t i) { return static_cast<uint8_t>(std::stoul(line.substr(2 + 2 * i, 2), nullptr, 16)); };
        const unsigned count = at(0);
        uint32_t address = 0;
        for (unsigned i = 1; i <= 4; ++i) address = address << 8 | at(i);
        for (unsigned i = 5; i < count; ++i) out[address++] = at(i);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string platform = argc > 1 ? argv[1] : "demo-passive";
    const std::size_t kib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024;
    if (kib == 0 || kib > 64 * 1024) {
        std::fprintf(stderr, "image size: 1 to 65536 KiB\n");
        return 2;
    }
    const fs::path exe = fs::canonical("/proc/self/exe");
    const std::string configDir = exe.parent_path().string() + "/";
    std::string error;
    sim::PhoneConfig config = sim::PhoneConfigForPlatform(configDir, platform, &error);
    if (!error.empty()) {
        std::fprintf(stderr, "platform %s: %s\n", platform.c_str(), error.c_str());
        return 2;
    }
    config.requireLoaderSignature = false;
    sim::VirtualLink link(config, 1);

    const fs::path work = fs::temp_directory_path() / ("flashwire-sample-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const std::string image = (work / "sample.s19").string();
    const std::string saved = (work / "readback.s19").string();
    const std::vector<uint8_t> bytes = SampleBytes(kib * 1024);
    const uint32_t base = config.chips.empty() ? 0 : config.chips.front().firstAddress;
    WriteSRecords(image, base, bytes);

    FlashHandle handle{};
    handle.size = sizeof handle;
    FlashOptions options{};
    if (InitHandle(&handle, &options, link.Services()) != SUCCESS) return 1;
    handle.message = OnMessage;  // the host installs its callbacks once the handle is bound
    handle.status = OnStatus;
    flashwire::FlashContext& ctx = *ContextOf(&handle);

    char range[64];
    std::snprintf(range, sizeof range, "/read=0x%x-0x%x", base, base + static_cast<uint32_t>(bytes.size()) - 1);
    const std::string common = "/platform=" + platform + " /com=1,2 /maxspeed=921600,921600 /diff=0 ";
    const struct {
        const char* name;
        std::string options;
    } jobs[] = {{"flash", common + "/mode=flash /file=" + image},
                {"verify", common + "/mode=verify /file=" + image},
                {"read", common + "/mode=read /savefile=" + saved + " " + range}};
    int failures = 0;
    for (const auto& job : jobs) {
        SetDefaultOptions(ctx.options);
        if (ParseOptionString(nullptr, job.options.c_str(), ctx.options) <= 0) return 2;
        // Each job from power-on (the flash keeps its contents), the host starting once the phone restarted.
        const uint32_t powerOnMs = ctx.clock().Ticks() + 1;
        link.PowerOnAtMs(powerOnMs);
        link.AdvanceToUs(static_cast<uint64_t>(powerOnMs) * 1000);
        const uint64_t startUs = link.NowUs();
        const auto wallStart = std::chrono::steady_clock::now();
        std::printf("%s: %s\n", job.name, job.options.c_str());
        ResetJobState(ctx);
        const uint32_t result = ReLoad(ctx);
        const double seconds = static_cast<double>(link.NowUs() - startUs) / 1e6;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        char name[32];
        std::printf("%s: %s in %.1f s of phone time (%.2f s real), %.1f KiB/s\n", job.name,
                    FlashGetErrorString(result, name) == SUCCESS ? name : "?", seconds, wall,
                    static_cast<double>(bytes.size()) / 1024.0 / seconds);
        failures += result != SUCCESS;
    }

    const auto readBack = ReadSRecords(saved);
    bool same = readBack.size() == bytes.size();
    for (const auto& [address, byte] : readBack)
        same = same && address - base < bytes.size() && bytes[address - base] == byte &&
               link.phone().flash().ReadByte(address) == byte;
    std::printf("read-back %s the image and the phone's flash (%zu bytes)\n", same ? "equals" : "DIFFERS FROM",
                readBack.size());
    FinishHandle(&handle);
    std::error_code ec;
    fs::remove_all(work, ec);
    return failures == 0 && same ? 0 : 1;
}
