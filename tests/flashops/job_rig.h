// Whole jobs on the virtual clock: a phone built from a shipped platform, a
// host context driven by an option string, the job driver run from power-on,
// and the phone's flash and command log to check afterwards.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "api/options.h"
#include "boot/boot_rig.h"
#include "image/srec_test_util.h"
#include "job/job_driver.h"
#include "job/thread_protocol.h"
#include "sim/image_files.h"
#include "sim/phone_factory.h"
#include "support/temp_dir.h"

namespace flashwire::job_test {

inline const std::string kConfigDir = std::string(FLASHWIRE_BINARY_DIR) + "/";
// The arming time of the phones of these tests (below the host's default gap).
inline constexpr uint64_t kStreamArmingUs = 3000;

// The shipped "platform.def" with extra lines put at the top of one section.
inline std::string PlatformDefWith(const std::string& section, const std::string& lines) {
    std::ifstream in(kConfigDir + "platform.def", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string header = "[" + section + "]\n";
    const std::size_t at = text.find(header);
    if (at != std::string::npos) text.insert(at + header.size(), lines);
    return text;
}
inline std::string ShippedFlashTypes() {
    std::ifstream in(kConfigDir + "flash.types", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

using Image = sim::ImageBytes;
using sim::Pattern;
using sim::ReadSRecordBytes;

// A configuration directory of a test's own: the given "platform.def" and
// "flash.types", and the shipped loaders. Removed with the object.
class TestConfig {
public:
    TestConfig(const std::string& platformDef, const std::string& flashTypes);
    ~TestConfig() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    // The directory, ending with '/'.
    std::string dir() const { return dir_ + "/"; }

private:
    std::string dir_;
};

class JobRig {
public:
    // tweak may change the phone built from the platform before it powers on.
    // configDir holds "platform.def", "flash.types" and the loaders (ending with '/').
    explicit JobRig(const std::string& platform, uint64_t seed = 1,
                    const std::function<void(sim::PhoneConfig&)>& tweak = {},
                    const std::string& configDir = kConfigDir)
        : platform_(platform), dir_(TempDir()) {
        std::string error;
        sim::PhoneConfig config = sim::PhoneConfigForPlatform(configDir, platform, &error);
        if (!error.empty()) configError = error;
        config.requireLoaderSignature = false;
        // Like a phone built against hosts that pause after a "TXDT" frame,
        // its loader listens for the streams only a few ms after the frame.
        config.timing.streamArmingUs = kStreamArmingUs;
        if (tweak) tweak(config);
        rig = std::make_unique<boot_test::BootRig>(config, seed);
        FlashContext& c = ctx();
        std::snprintf(c.exeDirectory, kPathSize, "%s", configDir.c_str());
        std::snprintf(c.platformDefPath, kPathSize, "%splatform.def", configDir.c_str());
        SetDefaultOptions(options_);
        UsePlan();
    }
    ~JobRig() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    FlashContext& ctx() { return *rig->ctx; }
    sim::Phone& phone() { return rig->phone(); }
    const std::string& dir() const { return dir_; }

    // Parses the job's options (the platform is added); false when refused.
    bool Options(const std::string& text) {
        const std::string all = "/platform=" + platform_ + " /debug=1 " + text;
        const bool ok = ParseOptionString(nullptr, all.c_str(), options_) > 0;
        UsePlan();
        return ok;
    }
    // The plan of the parsed options, as FlashLoad makes it at a job's start.
    void UsePlan() {
        ctx().plan = MakeJobPlan(options_);
        ctx().debug = ctx().plan.debug;
    }
    FlashOptions& options() { return options_; }

    // Writes the image as an S3 file of 32-byte records and returns its path.
    std::string WriteImage(const Image& image, const std::string& name = "image.s19") {
        const std::string path = dir_ + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out << "S00600004844521B\n";
        for (const auto& [address, bytes] : image) {
            for (std::size_t at = 0; at < bytes.size(); at += 32) {
                const std::size_t n = std::min<std::size_t>(32, bytes.size() - at);
                out << testing::Record('3', address + static_cast<uint32_t>(at),
                                       std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + n));
            }
        }
        out << "S70500000000FA\n";
        return path;
    }

    // The job on the test's thread, from a reset job state as at every job's start.
    uint32_t Run() {
        ResetJobState(ctx());
        return DriveJob(ctx());
    }
    // Parses the options of a further job on the same phone and runs it; with
    // powerCycle the phone restarts first (its flash stays).
    uint32_t RunAgain(const std::string& options, bool powerCycle = true) {
        SetDefaultOptions(options_);
        if (!Options(options)) return ERR_BAD_CMDLINE;
        if (powerCycle) {
            // The phone restarts before the host's first byte, which would
            // otherwise reach the old loader at its raised rate.
            const uint32_t at = rig->NowMs() + 1;
            rig->link.PowerOnAtMs(at);
            rig->link.AdvanceToUs(static_cast<uint64_t>(at) * 1000);
        }
        return Run();
    }

    std::vector<uint8_t> Flash(uint32_t address, uint32_t length) { return phone().flash().Read(address, length); }
    // True when the phone holds every chunk of the image.
    bool PhoneHolds(const Image& image) {
        for (const auto& [address, bytes] : image)
            if (Flash(address, static_cast<uint32_t>(bytes.size())) != bytes) return false;
        return true;
    }

    // The flash loader commands the phone received, in order (probes,
    // "SYNC" and single-byte tokens left out).
    std::vector<std::string> LoaderCommands() {
        std::vector<std::string> out;
        for (const auto& c : phone().commandLog())
            if (c.stage == sim::Stage::FlashLoader && c.token.size() == 4 && c.token != "SYNC") out.push_back(c.token);
        return out;
    }
    std::vector<sim::CommandRecord> Commands(const std::string& token) { return rig->Commands(token); }
    bool HasLine(const std::string& text, int level = -1) const { return rig->HasLine(text, level); }
    int CountLines(const std::string& text) const { return rig->CountLines(text); }
    std::string Transcript() const { return rig->Transcript(); }

    std::unique_ptr<boot_test::BootRig> rig;
    std::string configError;

    static std::string TempDir() {
        return test_support::MakeTempDir("flashwire-job-");
    }

private:
    std::string platform_;
    std::string dir_;
    FlashOptions options_{};
};

inline TestConfig::TestConfig(const std::string& platformDef, const std::string& flashTypes)
    : dir_(JobRig::TempDir()) {
    std::ofstream(dir_ + "/platform.def") << platformDef;
    std::ofstream(dir_ + "/flash.types") << flashTypes;
    std::error_code ec;
    std::filesystem::create_directory_symlink(kConfigDir + "loaders", dir_ + "/loaders", ec);
    // Where links cannot be made (Windows without the privilege): a copy.
    if (ec) std::filesystem::copy(kConfigDir + "loaders", dir_ + "/loaders", std::filesystem::copy_options::recursive, ec);
}

}  // namespace flashwire::job_test
