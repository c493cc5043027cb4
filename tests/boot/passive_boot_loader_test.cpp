// The passive boot loader stage, whole runs against the simulated phone.
#include "boot/passive_boot_loader.h"

#include <gtest/gtest.h>

#include "boot_rig.h"

namespace flashwire::boot_test {
namespace {

constexpr uint32_t kSetupBase = 0x00080000;

sim::PhoneConfig PassiveRom(uint8_t major, uint8_t minor, uint8_t type, uint32_t maxTransfer) {
    sim::PhoneConfig config = PassivePhone();
    config.passive.majorVersion = major;
    config.passive.minorVersion = minor;
    config.passive.type = type;
    config.passive.maxTransferSize = maxTransfer;
    return config;
}

class PassiveBootLoader : public ::testing::Test {
protected:
    void Start(const sim::PhoneConfig& config, uint32_t flashBase = 0) {
        rig = std::make_unique<BootRig>(config);
        ASSERT_TRUE(rig->Open(kSetupBase, flashBase));
    }
    uint32_t Run() { return TalkToPassiveBootloader(*rig->ctx); }

    struct DataCommand {
        uint32_t address;
        uint32_t length;
        std::size_t payloadSize;
    };
    std::vector<DataCommand> DataCommands() {
        std::vector<DataCommand> out;
        for (const auto& c : rig->Commands("data")) {
            out.push_back({LoadLe32(c.payload.data()), LoadLe32(c.payload.data() + 4), c.payload.size()});
        }
        return out;
    }

    std::unique_ptr<BootRig> rig;
};

TEST_F(PassiveBootLoader, Version2WithTransferSize4352LoadsTheFlashLoaderIn4096ByteChunks) {
    Start(PassiveRom(2, 0, 2, 4352), 0x00100000);
    const auto image = Pattern(10000, 5);
    rig->Load(rig->ctx->flashLoaderList(), 0x00100000, image);
    rig->ctx->platform.setupLoaderNeeded = true;  // the stage decides it afresh
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_FALSE(rig->ctx->platform.setupLoaderNeeded);

    for (const char* line : {"Talking to passive bootloader", "Bootloader V2.0 using UART0",
                             "ROM mask ID: 0x4f4d4544 (OMED)", "Bootloader type: 2 (0)",
                             "Max. transfer size: 4352 bytes", "Adjusted max. transfer size to: 4096 bytes",
                             "Data to transfer: 10000 bytes in 1 region(s)",
                             "Send: 0x00100000 - 0x00100fff (=4096)", "Send: 0x00101000 - 0x00101fff (=4096)",
                             "Send: 0x00102000 - 0x0010270f (=1808)"}) {
        EXPECT_TRUE(rig->HasLine(line)) << line << "\n" << rig->Transcript();
    }
    const auto data = DataCommands();
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0].address, 0x00100000u);
    EXPECT_EQ(data[1].address, 0x00101000u);
    EXPECT_EQ(data[2].address, 0x00102000u);
    EXPECT_EQ(data[0].length, 4096u);
    EXPECT_EQ(data[1].length, 4096u);
    EXPECT_EQ(data[2].length, 1808u);
    EXPECT_EQ(data[2].payloadSize, 1808u + 8u);
    EXPECT_EQ(rig->Tokens(), (std::vector<std::string>{"#", "info", "data", "data", "data", "done"}));
    EXPECT_EQ(rig->host.progressTexts, std::vector<std::string>{"Loading flash loader (1/1) ..."});
    EXPECT_EQ(rig->host.progressTotals, std::vector<uint32_t>{10000});

    // The stage read time-out stays 250 ms; the priority is back where it was.
    EXPECT_EQ(rig->ctx->ports[0].readTimeout, 250u);
    EXPECT_EQ(rig->ctx->priorityStack.depth, 0u);
    EXPECT_EQ(rig->threading.current, platform::kPriorityNormal);
    // No time-out was taken: 10 KB at 115200 baud take under a second.
    EXPECT_LT(rig->NowMs(), 1200u);
    rig->Settle();
    const sim::LoadedImage& loaded = rig->phone().flashLoaderImage();
    EXPECT_EQ(loaded.base, 0x00100000u);
    EXPECT_EQ(loaded.bytes, image);
}

TEST_F(PassiveBootLoader, FramesAreByteExactOnTheWire) {
    Start(PassiveRom(2, 0, 2, 4352), 0x00080000);
    rig->Load(rig->ctx->flashLoaderList(), 0x00080000, {0x01, 0x02, 0x03, 0x04});
    rig->phone().EnableWireLog(true);
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    std::vector<uint8_t> sent;
    for (const auto& w : rig->phone().wireLog())
        if (w.direction == sim::Direction::ToPhone) sent.push_back(w.byte);
    auto after = [&](std::vector<uint8_t> frame) {
        return std::search(sent.begin(), sent.end(), frame.begin(), frame.end()) != sent.end();
    };
    EXPECT_TRUE(after({0x69, 0x6E, 0x66, 0x6F, 0x00, 0x00, 0x00, 0x00, 0x28, 0x70, 0x63, 0x29}));
    EXPECT_TRUE(after({0x64, 0x61, 0x74, 0x61, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
                       0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0xB0, 0x26, 0x40, 0x9B,
                       0x28, 0x70, 0x63, 0x29}));
    EXPECT_TRUE(after({'d', 'o', 'n', 'e', 0, 0, 0, 0, '(', 'p', 'c', ')'}));
    // Everything the host sent, in order: pings, '#', the three frames.
    const std::size_t pings = static_cast<std::size_t>(std::count(sent.begin(), sent.end(), uint8_t{'?'}));
    EXPECT_EQ(sent.size(), pings + 1 + 12 + 28 + 12);
    EXPECT_EQ(sent[pings], '#');
}

TEST_F(PassiveBootLoader, Version19IsNotAcceptable) {
    Start(PassiveRom(1, 9, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(100));
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_UNKOWN_HW));
    EXPECT_TRUE(rig->HasLine("Unknown HW platform or corrupted bootloader signature")) << rig->Transcript();
    EXPECT_TRUE(rig->Commands("data").empty());
}

TEST_F(PassiveBootLoader, Type5LoadsTheSetupLoaderIn2048ByteChunks) {
    Start(PassiveRom(3, 0, 5, 2304));
    rig->Load(rig->ctx->setupLoaderList(), kSetupBase, Pattern(5000));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(100));
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->ctx->platform.setupLoaderNeeded);
    const auto data = DataCommands();
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0].address, kSetupBase);
    EXPECT_EQ(data[0].length, 2048u);
    EXPECT_EQ(data[2].length, 5000u - 4096u);
    EXPECT_EQ(rig->host.progressTexts, std::vector<std::string>{"Loading setup loader (1/1) ..."});
}

TEST_F(PassiveBootLoader, Type5WithSetupLoaderIgnoredLoadsTheFlashLoader) {
    Start(PassiveRom(3, 0, 5, 2304));
    rig->ctx->platform.setupLoaderIgnored = true;
    rig->Load(rig->ctx->setupLoaderList(), kSetupBase, Pattern(5000));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(3000));
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_FALSE(rig->ctx->platform.setupLoaderNeeded);
    const auto data = DataCommands();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].address, 0u);
    EXPECT_EQ(data[0].length, 2048u);
    EXPECT_EQ(data[1].length, 952u);
}

TEST_F(PassiveBootLoader, TransferSize3000GivesChunksOf2048) {
    Start(PassiveRom(2, 0, 1, 3000));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(4096));
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("Adjusted max. transfer size to: 2744 bytes"));
    const auto data = DataCommands();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].length, 2048u);
    EXPECT_EQ(data[1].length, 2048u);
}

TEST_F(PassiveBootLoader, TransferSizesOf256OrLessAreRefusedWithoutLooping) {
    for (uint32_t size : {256u, 100u}) {
        Start(PassiveRom(2, 0, 2, size));
        rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(100));
        EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_UNKOWN_HW)) << size;
        EXPECT_TRUE(rig->HasLine("Unknown HW platform or corrupted bootloader signature")) << rig->Transcript();
        EXPECT_TRUE(rig->Commands("data").empty());
        EXPECT_LT(rig->NowMs(), 100u);
    }
    EXPECT_TRUE(rig->HasLine("Adjusted max. transfer size to: 4294967140 bytes")) << rig->Transcript();
}

TEST_F(PassiveBootLoader, DescriptionLinesShowMaskIdAndIdRegister) {
    sim::PhoneConfig config = PassiveRom(2, 3, 4, 4352);
    config.passive.romMaskId = 0x41420043;
    config.passive.uartNumber = 0x10000;  // only the low 16 bits count
    config.passive.flag31 = true;
    config.passive.hasIdRegister = true;
    config.passive.idRegister = 0x00020000;
    Start(config);
    rig->ctx->platform.memoryInterfaceType = 1;
    rig->Load(rig->ctx->setupLoaderList(), kSetupBase, Pattern(64));
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    for (const char* line : {"Bootloader V2.3 using UART0", "ROM mask ID: 0x41420043 (AB C)",
                             "ID register: 0x00020000 (ES2)", "Bootloader type: 4 (1)"}) {
        EXPECT_TRUE(rig->HasLine(line)) << line << "\n" << rig->Transcript();
    }
    // Interface type 1 always takes the setup loader.
    EXPECT_TRUE(rig->ctx->platform.setupLoaderNeeded);
}

TEST_F(PassiveBootLoader, ShortInfoReplyHasNoIdRegisterLine) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    for (const Line& l : rig->host.lines) EXPECT_EQ(l.text.find("ID register"), std::string::npos) << l.text;
}

TEST(BootLoaderAcceptance, Table) {
    auto info = [](uint32_t major, uint32_t type, uint32_t maxTransfer) {
        LoaderInfo i;
        i.words[0] = type << 16 | major << 8;
        i.words[3] = maxTransfer;
        i.length = 16;
        return i;
    };
    bool needed = false;
    EXPECT_FALSE(AcceptBootLoader(0, info(1, 2, 4352), needed));
    EXPECT_TRUE(AcceptBootLoader(0, info(2, 3, 4352), needed));
    EXPECT_FALSE(needed);
    EXPECT_FALSE(AcceptBootLoader(0, info(2, 2, 4353), needed));  // adjusted 4097
    EXPECT_TRUE(AcceptBootLoader(0, info(0, 5, 2304), needed));
    EXPECT_TRUE(needed);
    for (uint32_t type : {0u, 4u, 6u}) EXPECT_FALSE(AcceptBootLoader(0, info(9, type, 4352), needed)) << type;
    EXPECT_TRUE(AcceptBootLoader(1, info(0, 4, 4352), needed));
    EXPECT_TRUE(needed);
    EXPECT_FALSE(AcceptBootLoader(1, info(0, 5, 4352), needed));
    EXPECT_FALSE(AcceptBootLoader(1, info(0, 4, 256), needed));
    EXPECT_FALSE(AcceptBootLoader(1, info(0, 4, 4353), needed));
    EXPECT_EQ(BootLoaderChunkSize(4096), 4096u);
    EXPECT_EQ(BootLoaderChunkSize(2744), 2048u);
    EXPECT_EQ(BootLoaderChunkSize(1), 1u);
    EXPECT_EQ(BootLoaderChunkSize(0), 0u);
}

TEST_F(PassiveBootLoader, OnlyThreeAnswersInARowWakeTheBootLoader) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    std::vector<uint64_t> answerUs;
    rig->phone().SetReplyFilter([&](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token != "!") return;
        answerUs.push_back(r.us);
        if (r.occurrence == 2) bytes = {'x'};
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    // '!' '!' 'x' '!' did not do; the initial sync follows the sixth answer.
    const auto sync = rig->Commands("#");
    ASSERT_EQ(sync.size(), 1u);
    ASSERT_GE(answerUs.size(), 6u);
    EXPECT_GT(sync[0].us, answerUs[5]);
}

TEST_F(PassiveBootLoader, AbortDuringPinging) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "!") bytes.clear();
    });
    rig->trigger.abortAtMs = 500;
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_ABORT));
    // Pinged once a millisecond and stopped within one interval.
    EXPECT_LE(rig->NowMs(), 502u);
    const auto pings = rig->Commands("?");
    EXPECT_GE(pings.size(), 400u);
    EXPECT_LE(pings.size(), 502u);
    EXPECT_TRUE(rig->Commands("#").empty());
    EXPECT_FALSE(rig->ctx->ports[0].nonBlocking);
    EXPECT_EQ(rig->ctx->priorityStack.depth, 0u);
    EXPECT_EQ(rig->threading.history, (std::vector<int>{platform::kPriorityTimeCritical, platform::kPriorityNormal}));
}

TEST_F(PassiveBootLoader, RepliesWithStrayBytesAreStillFound) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token != "info" && r.token != "data") return;
        // Noise before "resp", between it and the echo, and before the status.
        const std::vector<uint8_t> noise = {'r', 'e', 's', 0x00, 'x'};
        bytes.insert(bytes.begin() + 8, noise.begin(), noise.end());
        bytes.insert(bytes.begin() + 4, noise.begin(), noise.end());
        bytes.insert(bytes.begin(), noise.begin(), noise.end());
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->Commands("sync").empty());
    EXPECT_TRUE(rig->HasLine("Bootloader V2.0 using UART0"));
}

TEST_F(PassiveBootLoader, InfoReplyOfWrongLengthIsRetriedAfterSync) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "info" && r.occurrence == 0) bytes = OkReply(PC_INFO, std::vector<uint8_t>(12, 0x22));
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("msg size out of range: 12 (16-24)")) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("sync'ed"));
    EXPECT_EQ(rig->Tokens(), (std::vector<std::string>{"#", "info", "sync", "info", "data", "done"}));
}

TEST_F(PassiveBootLoader, InfoReplyWithBadCrcIsRetriedWithoutALogLine) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "info" && r.occurrence == 0) bytes[bytes.size() - 8] ^= 0x01;  // a bit of the CRC
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    const int start = rig->FindLine("Talking to passive bootloader");
    const int synced = rig->FindLine("sync'ed");
    ASSERT_GE(start, 0);
    EXPECT_EQ(synced, start + 1) << rig->Transcript();
    EXPECT_EQ(rig->Tokens(), (std::vector<std::string>{"#", "info", "sync", "info", "data", "done"}));
}

TEST_F(PassiveBootLoader, ReplyWithoutItsEndMarkerIsRetriedAfterSync) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "data" && r.occurrence == 0) bytes[bytes.size() - 1] = 'X';  // "(hw" + 'X'
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_EQ(rig->Tokens(), (std::vector<std::string>{"#", "info", "data", "sync", "data", "done"}));
}

TEST_F(PassiveBootLoader, InfoRefusedFiveTimesEndsWithTheLastCode) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "info") bytes = NackReply(PC_INFO);
    });
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_CMD_FAILED));
    EXPECT_TRUE(rig->HasLine("Too many retries for PC_INFO")) << rig->Transcript();
    EXPECT_EQ(rig->Commands("info").size(), 5u);
    EXPECT_EQ(rig->Commands("sync").size(), 5u);
    EXPECT_TRUE(rig->Commands("data").empty());
}

TEST_F(PassiveBootLoader, RefusedChunkIsResentAfterSync) {
    Start(PassiveRom(2, 0, 2, 4352));
    const auto image = Pattern(6000);
    rig->Load(rig->ctx->flashLoaderList(), 0, image);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "data" && r.occurrence == 1) bytes = NackReply(PC_DATA);
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    const auto data = DataCommands();
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[1].address, 4096u);
    EXPECT_EQ(data[2].address, 4096u);
    EXPECT_EQ(rig->Tokens(), (std::vector<std::string>{"#", "info", "data", "data", "sync", "data", "done"}));
    rig->Settle();
    EXPECT_EQ(rig->phone().flashLoaderImage().bytes, image);
}

TEST_F(PassiveBootLoader, ChunkRefusedFiveTimesGivesTooManyRetries) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(6000));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "data" && r.occurrence >= 1) bytes = NackReply(PC_DATA);
    });
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_TOO_MANY_RETRIES));
    EXPECT_TRUE(rig->HasLine("Too many retries for PC_DATA")) << rig->Transcript();
    EXPECT_EQ(rig->Commands("data").size(), 6u);
    EXPECT_EQ(rig->Commands("sync").size(), 5u);
    EXPECT_TRUE(rig->Commands("done").empty());
    EXPECT_EQ(rig->ctx->priorityStack.depth, 0u);
    EXPECT_EQ(rig->threading.current, platform::kPriorityNormal);
}

TEST_F(PassiveBootLoader, SilentPhoneCosts5000MsPerSyncUntilTheAbort) {
    Start(PassiveRom(2, 0, 2, 4352));
    rig->Load(rig->ctx->flashLoaderList(), 0, Pattern(64));
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "info" || r.token == "-()-") bytes.clear();
    });
    rig->trigger.abortAtMs = 16'500;
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_ABORT));
    const auto info = rig->Commands("info");
    const auto syncs = rig->Commands("sync");
    ASSERT_EQ(info.size(), 1u);
    ASSERT_EQ(syncs.size(), 3u);
    // "resp" is awaited 4000 ms, then every "sync" 5000 ms.
    EXPECT_GE(syncs[0].us - info[0].us, 4'000'000u);
    EXPECT_LE(syncs[0].us - info[0].us, 4'012'000u);
    for (std::size_t i = 1; i < syncs.size(); ++i) {
        EXPECT_GE(syncs[i].us - syncs[i - 1].us, 5'000'000u);
        EXPECT_LE(syncs[i].us - syncs[i - 1].us, 5'012'000u);
    }
    // The scanner saw the abort within its 5 ms read.
    EXPECT_LE(rig->NowMs() - rig->trigger.abortRaisedAtMs, 6u);
    EXPECT_TRUE(rig->HasLine("WaitFor4CCs failed: ERR_TIMEOUT (6)")) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("0x70736572 = resp")) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("0x2d29282d = -()-")) << rig->Transcript();
}

TEST_F(PassiveBootLoader, RangeOutsideTheBufferIsRefusedBeforeSending) {
    Start(PassiveRom(2, 0, 2, 4352), 0x00100000);
    rig->ctx->flashLoaderList().rangeCount = 1;
    rig->ctx->flashLoaderList().ranges[0] = {0x0011FF00, 0x00120010};
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    ASSERT_FALSE(rig->host.lines.empty());
    EXPECT_EQ(rig->host.lines.back().level, 2);
    EXPECT_NE(rig->host.lines.back().text.find("0x0011ff00 - 0x00120010"), std::string::npos) << rig->Transcript();
    EXPECT_TRUE(rig->Commands("data").empty());
}

TEST_F(PassiveBootLoader, EmptyImageIsRefusedBeforeSending) {
    Start(PassiveRom(2, 0, 2, 4352));
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_BAD_PLATFORM));
    EXPECT_EQ(rig->host.lines.back().level, 2);
    EXPECT_TRUE(rig->Commands("data").empty());
    EXPECT_TRUE(rig->Commands("done").empty());
}

}  // namespace
}  // namespace flashwire::boot_test
