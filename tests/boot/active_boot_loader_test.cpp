// The active boot loader procedure, whole runs against the simulated phone.
#include "boot/active_boot_loader.h"

#include <gtest/gtest.h>

#include <memory>

#include "boot/ram_block_exchange.h"
#include "boot_rig.h"

namespace flashwire::boot_test {
namespace {

class ActiveBootLoader : public ::testing::Test {
protected:
    void SetUp() override { ResetRig(ActivePhone()); }
    void ResetRig(const sim::PhoneConfig& config, uint32_t flashBase = 0) {
        rig = std::make_unique<BootRig>(config);
        rig->ctx->platform.activeBootLoader = true;
        ASSERT_TRUE(rig->Open(0x00080000, flashBase));
    }
    // A flash loader from address 0 up to and including highest.
    std::vector<uint8_t> LoadFlashLoader(uint32_t highest) {
        std::vector<uint8_t> bytes = Pattern(highest + 1, 3);
        rig->Load(rig->ctx->flashLoaderList(), 0, bytes);
        return bytes;
    }
    std::vector<uint16_t> BlockNumbers() {
        std::vector<uint16_t> out;
        for (const auto& c : rig->Commands("b")) out.push_back(static_cast<uint16_t>(c.payload[0] << 8 | c.payload[1]));
        return out;
    }
    uint32_t Run() { return TalkToActiveBootloader(*rig->ctx); }

    std::unique_ptr<BootRig> rig;
};

TEST_F(ActiveBootLoader, BlockChecksumIsTheComplementedSum) {
    EXPECT_EQ(BlockChecksum(std::vector<uint8_t>(4096, 0xFF)), 0x0FFF);
    EXPECT_EQ(BlockChecksum(std::vector<uint8_t>(4096, 0x00)), 0xFFFF);
}

TEST_F(ActiveBootLoader, LoadsFourBlocksForHighestAddress3FFF) {
    const auto image = LoadFlashLoader(0x3FFF);
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("Loading Ram, 4 blocks to transfer = 16 KB (16384 Bytes)", 0)) << rig->Transcript();
    EXPECT_EQ(BlockNumbers(), (std::vector<uint16_t>{0, 1, 2, 3, 0xFFFF}));
    EXPECT_EQ(rig->host.progressTexts, std::vector<std::string>{"Loading Ram..."});
    EXPECT_EQ(rig->host.progressTotals, std::vector<uint32_t>{4});
    // No time-out was needed: 16 KiB at 115200 baud take about 1.5 s.
    EXPECT_LT(rig->NowMs(), 2500u);
    rig->Settle();
    const sim::LoadedImage& loaded = rig->phone().flashLoaderImage();
    EXPECT_EQ(loaded.base, 0u);
    ASSERT_GE(loaded.bytes.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), loaded.bytes.begin()));
    // The handshake leaves the port at the job driver's time-out.
    EXPECT_EQ(rig->ctx->ports[0].readTimeout, 1000u);
}

TEST_F(ActiveBootLoader, ProgressShowsTheBlocksSentThenTheWholeImage) {
    LoadFlashLoader(0x3FFF);
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    // ProgressUpdate(0) right after the begin may be held back by the
    // progress throttle; every later step changes the percentage.
    std::vector<std::string> events = rig->host.progressEvents;
    if (!events.empty() && events.front() == "u0") events.erase(events.begin());
    EXPECT_EQ(events, (std::vector<std::string>{"u1", "u2", "u3", "u4", "end"}));
}

TEST_F(ActiveBootLoader, FailedBlockExchangesAreLoggedAndRetried) {
    LoadFlashLoader(0x1FFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "B" && r.occurrence == 0) bytes = {'B', 0x00};        // short
        if (r.token == "B" && r.occurrence == 1) bytes = {'X', 0x00, 0x00};  // not 'B'
        if (r.token == "N" && r.occurrence == 0) bytes.clear();             // no answer to the checksum
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    for (const char* line : {"RX: FAILED (3 != 2)", "RX: Got response X (instead of B)",
                             "Send Block Number 0 failed!", "RX: FAILED; (1 != 0)", "Send Block 0 Checksum failed!"}) {
        EXPECT_TRUE(rig->HasLine(line, 0)) << line << "\n" << rig->Transcript();
    }
    EXPECT_TRUE(rig->HasLine("timeout or wrong length for the expected 0!", 1)) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("maybe it was a negative acknowledge 0!", 1)) << rig->Transcript();
    // After the refused acknowledgement the phone waits for the block's data
    // and takes the third 'b' as such; the fourth attempt goes through.
    EXPECT_EQ(rig->CountLines("Send Block No failed!"), 3) << rig->Transcript();
    EXPECT_EQ(rig->CountLines("TX: data[0] (4096 bytes)"), 2);
    EXPECT_EQ(rig->CountLines("TX: data[1] (4096 bytes)"), 1);
}

TEST_F(ActiveBootLoader, MissingOrWrongProgramRequest) {
    LoadFlashLoader(0xFFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "R") bytes.clear();
    });
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_PROTOCOL));
    EXPECT_TRUE(rig->HasLine("Protocol Error: Timeout receiving PROG_REQ", 1)) << rig->Transcript();
    EXPECT_EQ(rig->ctx->protocolCause, static_cast<uint32_t>(ERR_TIMEOUT));
    EXPECT_TRUE(rig->host.progressTexts.empty());

    ResetRig(ActivePhone());
    LoadFlashLoader(0xFFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "R") bytes = {'x'};
    });
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_PROTOCOL));
    EXPECT_TRUE(rig->HasLine("Protocol Error: Expected PROG_REQ (0x52), received 0x78", 1)) << rig->Transcript();
    EXPECT_EQ(rig->ctx->protocolCause, static_cast<uint32_t>(ERR_PROTOCOL));
    EXPECT_TRUE(rig->Commands("b").empty());
}

TEST_F(ActiveBootLoader, LoadsFiveBlocksForHighestAddress4000) {
    LoadFlashLoader(0x4000);
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("Loading Ram, 5 blocks to transfer = 20 KB (20480 Bytes)", 0)) << rig->Transcript();
    EXPECT_EQ(BlockNumbers(), (std::vector<uint16_t>{0, 1, 2, 3, 4, 0xFFFF}));
}

TEST_F(ActiveBootLoader, SilenceAfterTheRatePatternSendsItAgain) {
    LoadFlashLoader(0xFFF);
    auto lostAck = std::make_shared<bool>(false);
    rig->phone().SetReplyFilter([lostAck](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "K" && r.occurrence == 0) {
            bytes.clear();
            *lostAck = true;
        }
        // A phone that tires of waiting for "rr" may announce again; keep the
        // line silent so that the host hears nothing after its pattern.
        if (r.token == "O" && *lostAck) bytes.clear();
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    const auto rates = rig->Commands("rate");
    ASSERT_EQ(rates.size(), 2u);
    // The unanswered pattern costs one read time-out of 1000 ms.
    EXPECT_GE(rates[1].us - rates[0].us, 1'000'000u);
    EXPECT_LT(rates[1].us - rates[0].us, 1'010'000u);
}

TEST_F(ActiveBootLoader, AnotherByteThanKSendsTheHostBackToWaitingForTheAnnouncement) {
    LoadFlashLoader(0xFFF);
    auto refused = std::make_shared<bool>(false);
    rig->phone().SetReplyFilter([refused](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "K" && r.occurrence == 0) {
            bytes = {'x'};
            *refused = true;
        }
        // Announcements before the power cycle are not heard.
        if (r.token == "O" && *refused && r.us < 3'000'000) bytes.clear();
    });
    // The user switches the phone off and on again after three seconds; the
    // host, back in the first state, takes the new announcement.
    rig->link.PowerOnAtMs(3000);
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    const auto rates = rig->Commands("rate");
    ASSERT_EQ(rates.size(), 2u);
    EXPECT_LT(rates[0].us, 1'000'000u);
    EXPECT_GE(rates[1].us, 3'000'000u);
    // Back in the first state the host never repeated the pattern without an 'O'.
    EXPECT_EQ(BlockNumbers(), (std::vector<uint16_t>{0, 0xFFFF}));
}

TEST_F(ActiveBootLoader, UnattendedGivesUpAfterOneHundredReads) {
    LoadFlashLoader(0xFFF);
    rig->ctx->plan.unattended = true;
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "ZE" || r.token == "R") bytes.clear();
    });
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_PROTOCOL));
    const int waiting = rig->FindLine("Waiting for the mobile's response ...", 0);
    const int late = rig->FindLine("Mobile didn't respond in time", 0);
    ASSERT_GE(waiting, 0) << rig->Transcript();
    ASSERT_GT(late, waiting) << rig->Transcript();
    ASSERT_EQ(rig->host.statuses.size(), 2u);
    EXPECT_EQ(rig->host.statuses[1], "Mobile didn't respond in time");
    // 100 reads of 1000 ms each.
    const uint32_t waited = rig->LineAt(late).ms - rig->LineAt(waiting).ms;
    EXPECT_GE(waited, 100'000u);
    EXPECT_LE(waited, 100'010u);
    EXPECT_TRUE(rig->Commands("b").empty());
}

TEST_F(ActiveBootLoader, AttendedWaitForTheRateAckEndsOnlyByAbort) {
    LoadFlashLoader(0xFFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "ZE" || r.token == "R") bytes.clear();
    });
    rig->trigger.abortAtMs = 250'000;
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_FALSE(rig->HasLine("Mobile didn't respond in time"));
    // Seen after the read in progress: within one read time-out.
    EXPECT_GE(rig->NowMs(), 250'000u);
    EXPECT_LE(rig->NowMs(), 251'000u);
}

TEST_F(ActiveBootLoader, RateAckFollowedByAnotherByteThanE) {
    LoadFlashLoader(0xFFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "ZE") bytes = {'Z', 'X'};
    });
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_PROTOCOL));
    EXPECT_TRUE(rig->HasLine("Protocol Error: Expected RATE_ACK_2 (0x45), received 0x58", 1)) << rig->Transcript();
    EXPECT_EQ(rig->ctx->protocolCause, static_cast<uint32_t>(ERR_PROTOCOL));
    EXPECT_TRUE(rig->Commands("b").empty());
}

TEST_F(ActiveBootLoader, AbortWhileWaitingForTheAnnouncement) {
    LoadFlashLoader(0xFFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "O") bytes.clear();
    });
    rig->trigger.abortAtMs = 7000;
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_ABORT));
    // One pass reads for at most 500 ms.
    EXPECT_GE(rig->NowMs(), 7000u);
    EXPECT_LE(rig->NowMs(), 7500u);
    EXPECT_TRUE(rig->Commands("rate").empty());
}

TEST_F(ActiveBootLoader, WrongBlockNumberAcknowledgedRepeatsTheAttempt) {
    LoadFlashLoader(0x2FFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "B" && r.occurrence == 2) bytes = {'B', 0x00, 0x03};
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("3 is not 2!", 1)) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("Wrong block number acknowledged, got response 3 (instead of 2)"));
    EXPECT_TRUE(rig->HasLine("Send Block No failed!", 1));
    EXPECT_EQ(BlockNumbers(), (std::vector<uint16_t>{0, 1, 2, 2, 0xFFFF}));
}

TEST_F(ActiveBootLoader, BlockRefusedFiveTimesGivesTooManyRetries) {
    LoadFlashLoader(0x2FFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "N" && r.occurrence >= 1) bytes = {'T', 0x12, 0x34};
    });
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_TOO_MANY_RETRIES));
    EXPECT_EQ(rig->ctx->protocolCause, static_cast<uint32_t>(ERR_CRC));
    EXPECT_EQ(rig->CountLines("Checksum Error!"), 5);
    EXPECT_EQ(rig->CountLines("RX: Got RSP_TX_CHK_FAIL"), 5);
    EXPECT_EQ(rig->CountLines("RX: Got 0x54 0x12 0x34"), 5);
    EXPECT_EQ(rig->CountLines("Send Block 1 Checksum failed!"), 5);
    // Block 1 five times, no further block and no end marker.
    EXPECT_EQ(BlockNumbers(), (std::vector<uint16_t>{0, 1, 1, 1, 1, 1}));
}

TEST_F(ActiveBootLoader, ChecksumRefusalWithoutItsTwoBytesShowsOnlyWhatArrived) {
    LoadFlashLoader(0xFFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "N" && r.occurrence == 0) bytes = {'F'};
    });
    ASSERT_EQ(Run(), SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("RX: Got RSP_FL_CHK_FAIL"));
    EXPECT_TRUE(rig->HasLine("RX: Got 0x46")) << rig->Transcript();
    EXPECT_EQ(rig->ctx->protocolCause, static_cast<uint32_t>(ERR_CRC));
    EXPECT_EQ(BlockNumbers(), (std::vector<uint16_t>{0, 0, 0xFFFF}));
}

TEST_F(ActiveBootLoader, MissingEndAcknowledgementIsLoggedButSucceeds) {
    LoadFlashLoader(0xFFF);
    rig->phone().SetReplyFilter([](const sim::OutgoingReply& r, std::vector<uint8_t>& bytes) {
        if (r.token == "P") bytes.clear();
    });
    const uint32_t result = Run();
    EXPECT_EQ(result, SUCCESS) << rig->Transcript();
    EXPECT_TRUE(rig->HasLine("RX: FAILED (3 != 0), last block")) << rig->Transcript();
    const auto blocks = rig->Commands("b");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].payload, (std::vector<uint8_t>{0xFF, 0xFF}));
    // The end marker's answer was awaited for the block time-out of 1000 ms.
    EXPECT_GE(rig->NowMs() - blocks[1].us / 1000, 999u);
    EXPECT_LE(rig->NowMs() - blocks[1].us / 1000, 1002u);
}

TEST_F(ActiveBootLoader, RefusesALoaderThatIsNotBasedAtZero) {
    ResetRig(ActivePhone(), 0x1000);
    rig->Load(rig->ctx->flashLoaderList(), 0x1000, Pattern(16));
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_BAD_PLATFORM));
    EXPECT_EQ(rig->host.lines.back().level, 2);
    EXPECT_NE(rig->host.lines.back().text.find("0x00001000"), std::string::npos) << rig->Transcript();
    EXPECT_TRUE(rig->phone().commandLog().empty());
}

TEST_F(ActiveBootLoader, RefusesMoreBlocksThanTheBufferHolds) {
    // A range reaching past the 32 blocks of the buffer (set directly).
    rig->ctx->flashLoaderList().rangeCount = 1;
    rig->ctx->flashLoaderList().ranges[0] = {0, 0x20000};
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_BAD_PLATFORM));
    ASSERT_FALSE(rig->host.lines.empty());
    EXPECT_EQ(rig->host.lines.back().level, 2);
    EXPECT_NE(rig->host.lines.back().text.find("33 blocks"), std::string::npos) << rig->Transcript();
    EXPECT_TRUE(rig->phone().commandLog().empty());
}

TEST_F(ActiveBootLoader, RefusesAnEmptyLoader) {
    EXPECT_EQ(Run(), static_cast<uint32_t>(ERR_BAD_PLATFORM));
    ASSERT_FALSE(rig->host.lines.empty());
    EXPECT_EQ(rig->host.lines.back().level, 2);
    EXPECT_TRUE(rig->phone().commandLog().empty());
}

}  // namespace
}  // namespace flashwire::boot_test
