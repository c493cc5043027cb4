// Every platform of config/platform.def, read by the library's own platform
// reader and chip database, against the phone the factory builds for it: the
// host accepts the boot ROM, loads the loader files, resolves every chip the
// flash loader reports and finds the chips and the image buffers in agreement.
#include "sim_rig.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "image/region_list.h"
#include "image/srec_reader.h"
#include "job/context.h"
#include "job/job_driver.h"
#include "sim/phone_factory.h"
#include "catalog/flash_type.h"
#include "catalog/platform_definition.h"

namespace flashwire::sim_test {
namespace {

const std::string kConfigDir = std::string(FLASHWIRE_SOURCE_DIR) + "/config/";

std::vector<std::string> PlatformSections() {
    std::ifstream in(kConfigDir + "platform.def");
    std::vector<std::string> names;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t open = line.find_first_not_of(" \t");
        if (open == std::string::npos || line[open] != '[') continue;
        const std::size_t close = line.find(']', open);
        if (close != std::string::npos) names.push_back(line.substr(open + 1, close - open - 1));
    }
    return names;
}

// A job context as the job driver has it before it reads the platform
// (configDir ends with '/').
std::unique_ptr<FlashContext> HostContext(const std::string& platform, const std::string& configDir = kConfigDir) {
    auto ctx = std::make_unique<FlashContext>();
    ctx->services = platform::SystemServices();
    std::snprintf(ctx->exeDirectory, kPathSize, "%s", configDir.c_str());
    std::snprintf(ctx->platformDefPath, kPathSize, "%splatform.def", configDir.c_str());
    ctx->plan.platform = platform;
    ResetRegionLists(ctx->regionLists);
    return ctx;
}

// The host's acceptance of a passive boot ROM's description; sets setupNeeded.
bool HostAcceptsPassiveRom(uint32_t mit, const sim::PassiveBootRomConfig& rom, bool& setupNeeded) {
    const uint32_t adjusted = rom.maxTransferSize - 256u;  // unsigned, as the host computes it
    bool acceptable = false;
    if (mit == 0) {
        if (rom.type >= 1 && rom.type <= 3) {
            setupNeeded = false;
            acceptable = rom.majorVersion >= 2;
        } else if (rom.type == 5) {
            setupNeeded = true;
            acceptable = true;
        }
    } else {
        setupNeeded = true;
        acceptable = rom.type == 4;
    }
    return acceptable && adjusted >= 1 && adjusted <= 4096;
}

// Does the union of ranges cover [first, last]?
bool Covered(std::vector<std::pair<uint64_t, uint64_t>> ranges, uint64_t first, uint64_t last) {
    std::sort(ranges.begin(), ranges.end());
    uint64_t next = first;
    for (const auto& [f, l] : ranges) {
        if (f > next) break;
        if (l >= next) next = l + 1;
        if (next > last) return true;
    }
    return next > last;
}

// The loaded image starts with the signature the phone runs it by.
std::string Signature(RegionList& list, uint32_t base) {
    if (list.rangeCount == 0 || !list.buffers[0].data) return "";
    const uint32_t offset = list.ranges[0].first - base;
    return std::string(reinterpret_cast<const char*>(list.buffers[0].data.get()) + offset, 7);
}

// The phone's chips are the ones the host resolves (same sectors) and cover
// exactly the image buffers of the platform.
void ExpectChipsAsTheHostSeesThem(const sim::PhoneConfig& phone, FlashContext& ctx) {
    ASSERT_GE(phone.chips.size(), 1u);
    ASSERT_LE(phone.chips.size(), 4u);
    std::vector<std::pair<uint64_t, uint64_t>> chipRanges, buffers;
    for (const sim::ChipConfig& chip : phone.chips) {
        SCOPED_TRACE(chip.name);
        const FlashType amd(chip.amdManufacturer, chip.amdDevice, ctx.exeDirectory);
        const FlashType intel(chip.intelManufacturer, chip.intelDevice, ctx.exeDirectory);
        const FlashType* chosen = nullptr;
        if (amd.IsKnown() && amd.GetCommandSet() == 0) chosen = &amd;
        else if (intel.IsKnown() && intel.GetCommandSet() == 1) chosen = &intel;
        ASSERT_NE(chosen, nullptr) << "Unknown Flash Chip";
        ASSERT_NE(chosen->GetDescription(), nullptr);
        ASSERT_EQ(static_cast<std::size_t>(chosen->GetBoundaryCount()), chip.sectorSizes.size() + 1);
        uint32_t offset = 0;
        for (std::size_t s = 0; s < chip.sectorSizes.size(); ++s) {
            ASSERT_EQ(chosen->GetSectorOffsets()[s], offset) << s;
            offset += chip.sectorSizes[s];
        }
        ASSERT_EQ(chosen->GetSectorOffsets()[chip.sectorSizes.size()], offset);
        chipRanges.emplace_back(chip.firstAddress, uint64_t{chip.firstAddress} + offset - 1);
    }
    const RegionList& image = ctx.imageList();
    ASSERT_GE(image.bufferCount, 1u);
    for (uint32_t b = 0; b < image.bufferCount; ++b)
        buffers.emplace_back(image.buffers[b].first, image.buffers[b].last);
    for (const auto& [f, l] : buffers) EXPECT_TRUE(Covered(chipRanges, f, l)) << "image buffer outside flash";
    for (const auto& [f, l] : chipRanges) EXPECT_TRUE(Covered(buffers, f, l)) << "chip without image buffer";
}

TEST(SimPlatformAcceptance, EveryPlatformAndChipIsAcceptedByTheHost) {
    const std::vector<std::string> platforms = PlatformSections();
    ASSERT_GE(platforms.size(), 5u);
    for (const std::string& name : platforms) {
        SCOPED_TRACE(name);
        std::string error;
        const sim::PhoneConfig phone = sim::PhoneConfigForPlatform(kConfigDir, name, &error);
        ASSERT_TRUE(error.empty()) << error;

        auto ctx = HostContext(name);
        ASSERT_TRUE(ReadJobPlatform(*ctx));
        const PlatformInfo& p = ctx->platform;
        EXPECT_EQ(p.activeBootLoader, phone.bootRom == sim::BootRomKind::Active);

        // The loader files load into their buffers and carry the signatures
        // the phone starts them by.
        ASSERT_TRUE(AllocateRegionBuffers(ctx->regionLists, ctx->platform.setupLoaderBase, ctx->platform.flashLoaderBase));
        ASSERT_EQ(LoadSRecordFile(*ctx, ctx->flashLoaderList(), p.flashLoaderPath, false), SUCCESS);
        EXPECT_EQ(Signature(ctx->flashLoaderList(), p.flashLoaderBase), "FWFLASH");

        if (p.activeBootLoader) {
            // Blocks count from address 0 and the ROM's RAM holds 32 of them.
            EXPECT_EQ(p.flashLoaderBase, 0u);
            const RegionList& fl = ctx->flashLoaderList();
            EXPECT_LT(fl.ranges[fl.rangeCount - 1].last / 4096 + 1, phone.active.ramBlocks + 1);
        } else {
            bool setupNeeded = false;
            EXPECT_TRUE(HostAcceptsPassiveRom(p.memoryInterfaceType, phone.passive, setupNeeded));
            if (p.setupLoaderIgnored) setupNeeded = false;
            if (setupNeeded) {
                ASSERT_NE(p.setupLoaderPath[0], '\0') << "the boot ROM needs a setup loader";
                ASSERT_EQ(LoadSRecordFile(*ctx, ctx->setupLoaderList(), p.setupLoaderPath, false), SUCCESS);
                EXPECT_EQ(Signature(ctx->setupLoaderList(), p.setupLoaderBase), "FWSETUP");
                const uint32_t chunk = phone.setupLoader.maxTransferSize - 256u;
                EXPECT_GE(chunk, 1u);
                EXPECT_LE(chunk, 0x20000u);
            }
        }

        // The flash loader: version at least 5.5; its chips.
        EXPECT_GE(phone.flashLoader.majorVersion * 256 + phone.flashLoader.minorVersion, 5 * 256 + 5);
        ExpectChipsAsTheHostSeesThem(phone, *ctx);
        FreeRegionBuffers(ctx->regionLists);
    }
}

// Sections without "SimChip<n>": each flash definition gets the largest chip
// of "flash.types" whose size divides it, repeated; the first in the file
// among chips of one size.
TEST(SimPlatformAcceptance, DefinitionsWithoutSimChipKeysGetChipsThatFillThem) {
    const auto dir = std::filesystem::temp_directory_path() / "flashwire_sim_chip_choice";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(kConfigDir + "flash.types", dir / "flash.types",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(dir / "platform.def")
        << "[banks]\nFlashLoader=fl.s19\nBootLoader=passive\nChipDesc=1\nFlash0=0x0,8,0\nFlash1=0x1000000,2,0\n"
           "[mit1]\nMIT=1\nSetupLoader=sl.s19\nFlashLoader=fl.s19\nFlashLoaderBaseAddr=0x20000\nFlash0=0x4000000,32\n"
           "[plain]\nFlashLoader=fl.s19\nBootLoader=passive\nMaxImageSize=4\n";
    const struct {
        const char* platform;
        std::vector<std::string> chips;
    } cases[] = {
        {"banks", {"0x0042_0x00002201", "0x0042_0x00000110", "0x0042_0x00000110"}},
        {"mit1", {"0x0057_0x00008820", "0x0057_0x00008820"}},
        {"plain", {"0x0042_0x00000140"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.platform);
        std::string error;
        const sim::PhoneConfig phone = sim::PhoneConfigForPlatform(dir.string(), c.platform, &error);
        ASSERT_TRUE(error.empty()) << error;
        std::vector<std::string> names;
        for (const sim::ChipConfig& chip : phone.chips) names.push_back(chip.name);
        EXPECT_EQ(names, c.chips);
        auto ctx = HostContext(c.platform, dir.string() + "/");
        ASSERT_TRUE(ReadJobPlatform(*ctx));
        ExpectChipsAsTheHostSeesThem(phone, *ctx);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace flashwire::sim_test

