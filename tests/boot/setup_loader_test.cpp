// The setup loader stage and the choice between the boot ROM procedures,
// whole runs of TalkToBootloader against the simulated phone.
#include "boot/setup_loader.h"

#include <gtest/gtest.h>

#include "boot/talk_to_bootloader.h"
#include "boot_rig.h"

namespace flashwire::boot_test {
namespace {

constexpr uint32_t kSetupBase = 0x00080000;

sim::PhoneConfig Type5Phone(uint32_t setupMaxTransfer, uint16_t setupType = 1) {
    sim::PhoneConfig config = PassivePhone();
    config.passive.type = 5;
    config.passive.maxTransferSize = 2304;
    config.setupLoader.type = setupType;
    config.setupLoader.maxTransferSize = setupMaxTransfer;
    return config;
}

class SetupLoaderStage : public ::testing::Test {
protected:
    void Start(const sim::PhoneConfig& config) {
        rig = std::make_unique<BootRig>(config);
        ASSERT_TRUE(rig->Open(kSetupBase, 0));
        rig->Load(rig->ctx->setupLoaderList(), kSetupBase, Pattern(3000, 9));
    }
    // The "data" commands the setup loader received: address, length, payload size.
    std::vector<std::array<std::size_t, 3>> SetupLoaderData() {
        std::vector<std::array<std::size_t, 3>> out;
        for (const auto& c : rig->phone().commandLog()) {
            if (c.token == "data" && c.stage == sim::Stage::SetupLoader) {
                out.push_back({LoadLe32(c.payload.data()), LoadLe32(c.payload.data() + 4), c.payload.size()});
            }
        }
        return out;
    }

    std::unique_ptr<BootRig> rig;
};

TEST_F(SetupLoaderStage, LoadsTheFlashLoaderInChunksOfItsAdjustedSize) {
    Start(Type5Phone(8448, 0x0102));
    const auto first = Pattern(0x2800, 1);
    const auto second = Pattern(0x100, 2);
    rig->Load(rig->ctx->flashLoaderList(), 0x0000, first);
    rig->Load(rig->ctx->flashLoaderList(), 0x8000, second);

    ASSERT_EQ(TalkToBootloader(*rig->ctx), SUCCESS) << rig->Transcript();
    for (const char* line : {"TalkToBootLoader (using COM1)", "Talking to passive bootloader",
                             "Talking to setup loader", "Setup loader V1.2 using UART0", "Setup loader type: 258",
                             "Max. transfer size: 8448 bytes", "Adjusted max. transfer size to: 8192 bytes",
                             "Data to transfer: 10496 bytes in 2 region(s)"}) {
        EXPECT_TRUE(rig->HasLine(line)) << line << "\n" << rig->Transcript();
    }
    using Row = std::array<std::size_t, 3>;
    EXPECT_EQ(SetupLoaderData(), (std::vector<Row>{{0x0000, 8192, 8200}, {0x2000, 2048, 2056}, {0x8000, 256, 264}}));
    EXPECT_EQ(rig->host.progressTexts, (std::vector<std::string>{"Loading setup loader (1/1) ...",
                                                                 "Loading RAM (1/2) ...", "Loading RAM (2/2) ..."}));
    EXPECT_EQ(rig->host.progressTotals, (std::vector<uint32_t>{3000, 0x2800, 0x100}));

    rig->Settle();
    const sim::LoadedImage& loaded = rig->phone().flashLoaderImage();
    ASSERT_EQ(loaded.base, 0u);
    ASSERT_EQ(loaded.bytes.size(), 0x8100u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), loaded.bytes.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), loaded.bytes.begin() + 0x8000));
    EXPECT_EQ(rig->phone().setupLoaderImage().base, kSetupBase);

    // Raised for the stage, raised further around each wake-up and loading, restored at the end.
    using P = std::vector<int>;
    EXPECT_EQ(rig->threading.history, (P{2, 15, 2, 15, 2, 15, 2, 15, 2, 0}));
    EXPECT_EQ(rig->ctx->priorityStack.depth, 0u);
}

TEST_F(SetupLoaderStage, TransferSizeOf256IsRefused) {
    Start(Type5Phone(256));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(5000));
    EXPECT_EQ(TalkToBootloader(*rig->ctx), static_cast<uint32_t>(ERR_UNKOWN_HW));
    EXPECT_TRUE(rig->HasLine("Adjusted max. transfer size to: 0 bytes")) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("Unknown HW platform or corrupted bootloader signature"));
    EXPECT_TRUE(SetupLoaderData().empty());
    EXPECT_EQ(rig->threading.current, platform::kPriorityNormal);
    EXPECT_EQ(rig->ctx->priorityStack.depth, 0u);
}

TEST_F(SetupLoaderStage, HugeTransferSizeIsCappedSoEveryPayloadFitsTheHostBuffer) {
    Start(Type5Phone(0x00100000));
    const auto image = Pattern(100000, 4);
    rig->Load(rig->ctx->flashLoaderList(), 0, image);
    ASSERT_EQ(TalkToBootloader(*rig->ctx), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("Chunk size limited to 65536 bytes")) << rig->Transcript();
    using Row = std::array<std::size_t, 3>;
    EXPECT_EQ(SetupLoaderData(), (std::vector<Row>{{0, 65536, 65544}, {65536, 34464, 34472}}));
    rig->Settle();
    EXPECT_EQ(rig->phone().flashLoaderImage().bytes, image);
}

TEST_F(SetupLoaderStage, RunsOnlyAfterASuccessfulPassiveStage) {
    sim::PhoneConfig config = Type5Phone(8448);
    config.passive.maxTransferSize = 100;  // not acceptable
    Start(config);
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(100));
    EXPECT_EQ(TalkToBootloader(*rig->ctx), static_cast<uint32_t>(ERR_UNKOWN_HW));
    EXPECT_FALSE(rig->HasLine("Talking to setup loader"));
    EXPECT_EQ(rig->threading.history, (std::vector<int>{2, 15, 2, 0}));
}

TEST_F(SetupLoaderStage, NotRunWhenTheBootLoaderNeedsNoSetupLoader) {
    sim::PhoneConfig config = PassivePhone();
    config.passive.type = 2;
    Start(config);
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(100));
    ASSERT_EQ(TalkToBootloader(*rig->ctx), SUCCESS) << rig->Transcript();
    EXPECT_FALSE(rig->HasLine("Talking to setup loader"));
    EXPECT_EQ(rig->threading.history, (std::vector<int>{2, 15, 2, 15, 2, 0}));
}

TEST_F(SetupLoaderStage, ActiveBootLoaderLeavesThePriorityAlone) {
    rig = std::make_unique<BootRig>(ActivePhone());
    rig->ctx->platform.activeBootLoader = true;
    rig->ctx->plan.comPort[0] = 0;
    ASSERT_TRUE(rig->Open(kSetupBase, 0));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(0x1000));
    ASSERT_EQ(TalkToBootloader(*rig->ctx), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("Talking to active bootloader"));
    EXPECT_TRUE(rig->threading.history.empty());
}

}  // namespace
}  // namespace flashwire::boot_test
