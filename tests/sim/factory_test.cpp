// Phones built from the configuration files.
#include "sim_rig.h"

#include <filesystem>
#include <fstream>

#include "sim/phone_factory.h"

namespace flashwire::sim_test {
namespace {

const std::string kConfig = std::string(FLASHWIRE_SOURCE_DIR) + "/config";

TEST(SimFactory, ActivePlatform) {
    std::string error;
    const sim::PhoneConfig c = sim::PhoneConfigForPlatform(kConfig, "demo-active", &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_EQ(c.bootRom, sim::BootRomKind::Active);
    ASSERT_EQ(c.chips.size(), 1u);
    EXPECT_EQ(c.chips[0].firstAddress, 0u);
    EXPECT_EQ(c.chips[0].amdManufacturer, 0x42);
    EXPECT_EQ(c.chips[0].amdDevice, 0x110u);
    ASSERT_EQ(c.chips[0].sectorSizes.size(), 8u + 15);
    EXPECT_EQ(c.chips[0].sectorSizes[0], 8192u);
    EXPECT_EQ(c.chips[0].sectorSizes[8], 65536u);
}

TEST(SimFactory, PassivePlatformsWithAndWithoutSetupLoader) {
    std::string error;
    sim::PhoneConfig c = sim::PhoneConfigForPlatform(kConfig, "demo-passive", &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_EQ(c.bootRom, sim::BootRomKind::Passive);
    EXPECT_EQ(c.passive.type, 2);
    EXPECT_GE(c.passive.majorVersion, 2);
    ASSERT_EQ(c.chips.size(), 2u);
    EXPECT_EQ(c.chips[1].firstAddress, 0x1000000u);
    EXPECT_EQ(c.chips[1].intelManufacturer, 0x57);
    EXPECT_EQ(c.chips[1].sectorSizes, std::vector<uint32_t>(32, 128 * 1024));

    c = sim::PhoneConfigForPlatform(kConfig, "demo-passive-setup", &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_EQ(c.passive.type, 5);
    EXPECT_LE(c.passive.maxTransferSize - 256, 4096u);
    ASSERT_EQ(c.chips.size(), 2u);  // two 8 MiB chips cover the 16 MiB bank
    EXPECT_EQ(c.chips[1].firstAddress, 0x800000u);

    c = sim::PhoneConfigForPlatform(kConfig, "demo-mit1", &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_EQ(c.passive.type, 4);
    EXPECT_TRUE(c.passive.hasIdRegister);
    EXPECT_EQ(c.chips[0].firstAddress, 0x4000000u);

    c = sim::PhoneConfigForPlatform(kConfig, "demo-passive-plain", &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_EQ(c.chips[0].firstAddress, 0u);
}

TEST(SimFactory, UnknownPlatformAndBrokenEntriesGiveReasons) {
    std::string error;
    sim::PhoneConfigForPlatform(kConfig, "no-such-platform", &error);
    EXPECT_NE(error.find("not found"), std::string::npos);

    const auto dir = std::filesystem::temp_directory_path() / "flashwire_sim_factory";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(kConfig + "/flash.types", dir / "flash.types",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(dir / "platform.def") << "[p1]\nFlashLoader=x.s19\nBootLoader=passive\nChipDesc=1\n"
                                           "Flash0=0x0,8,0\nSimChip0=0x0042_0x00009999\n"
                                           "[p2]\nFlashLoader=x.s19\nBootLoader=sideways\n"
                                           "[p3]\nFlashLoader=x.s19\nBootLoader=passive\nChipDesc=1\nFlash0=0x0,64,0\n"
                                           "Flash1=0x4000000,1,0\n"
                                           "[p4]\nFlashLoader=x.s19\nBootLoader=passive\nSimChip0=0x0042_0x00002201\n"
                                           "SimBootRomVersion=1.9\nSimLoaderVersion=5.4\n";
    sim::PhoneConfigForPlatform(dir.string(), "p1", &error);
    EXPECT_NE(error.find("no description"), std::string::npos) << error;
    sim::PhoneConfigForPlatform(dir.string(), "p2", &error);
    EXPECT_NE(error.find("BootLoader"), std::string::npos) << error;
    sim::PhoneConfigForPlatform(dir.string(), "p3", &error);
    EXPECT_NE(error.find("fill Flash1"), std::string::npos) << error;  // four 16 MiB chips fill Flash0
    const sim::PhoneConfig c = sim::PhoneConfigForPlatform(dir.string(), "p4", &error);
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_EQ(c.passive.majorVersion, 1);
    EXPECT_EQ(c.passive.minorVersion, 9);
    EXPECT_EQ(c.flashLoader.minorVersion, 4);
    std::filesystem::remove_all(dir);
}

TEST(SimFactory, LoaderFilesCarryTheirSignaturesAndFitTheirBuffers) {
    // The loader files the platforms name are S-records of signed images.
    for (const char* name : {"flash_loader.s19", "flash_loader_ram2.s19", "setup_loader.s19"}) {
        std::ifstream in(kConfig + "/loaders/" + name);
        ASSERT_TRUE(in) << name;
        std::string line;
        std::getline(in, line);
        EXPECT_EQ(line.substr(0, 2), "S0");
        std::getline(in, line);
        ASSERT_EQ(line.substr(0, 2), "S3");
        const std::string firstData = line.substr(12, 14);  // seven bytes after count and address
        EXPECT_TRUE(firstData == "4657464C415348" || firstData == "46575345545550") << name << " " << firstData;
    }
}

TEST(SimFactory, FactoryPhoneAnswersLikeItsPlatform) {
    std::string error;
    const sim::PhoneConfig c = sim::PhoneConfigForPlatform(kConfig, "demo-passive-setup", &error);
    ASSERT_TRUE(error.empty());
    Session s(c);
    ASSERT_TRUE(s.Wake(s.a));
    const Bytes r = s.BootExchange(s.a, "info");
    const std::size_t at = S(r).find("resp");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ((sim::GetU32(r, at + 16) >> 16) & 0xFF, 5u);
}

}  // namespace
}  // namespace flashwire::sim_test
