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

#include "job/lifecycle.h"
#include "sim/image_files.h"
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
    const std::vector<uint8_t> bytes = sim::Pattern(kib * 1024, 1);
    const uint32_t base = config.chips.empty() ? 0 : config.chips.front().firstAddress;
    sim::WriteS3File(image, {{base, bytes}});

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
    const FlashOptions defaults = options;  // as the handle's binding left them
    for (const auto& job : jobs) {
        FlashOptions jobOptions = defaults;
        int32_t accepted = 0;
        if (FlashParseOptionString(&handle, job.options.c_str(), &accepted, &jobOptions) != SUCCESS) return 2;
        // Each job from power-on (the flash keeps its contents), the host starting once the phone restarted.
        const uint32_t powerOnMs = ctx.clock().Ticks() + 1;
        link.PowerOnAtMs(powerOnMs);
        link.AdvanceToUs(static_cast<uint64_t>(powerOnMs) * 1000);
        const uint64_t startUs = link.NowUs();
        const auto wallStart = std::chrono::steady_clock::now();
        std::printf("%s: %s\n", job.name, job.options.c_str());
        const uint32_t result = FlashLoad(&handle, &jobOptions);
        const double seconds = static_cast<double>(link.NowUs() - startUs) / 1e6;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        char name[32];
        std::printf("%s: %s in %.1f s of phone time (%.2f s real), %.1f KiB/s\n", job.name,
                    FlashGetErrorString(result, name) == SUCCESS ? name : "?", seconds, wall,
                    static_cast<double>(bytes.size()) / 1024.0 / seconds);
        failures += result != SUCCESS;
    }

    const auto readBack = sim::ReadSRecordBytes(saved);
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
