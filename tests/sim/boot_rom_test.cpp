// The boot ROMs and the setup loader, driven byte by byte.
#include "sim_rig.h"

#include "sim/loader_image.h"

namespace flashwire::sim_test {
namespace {

sim::PhoneConfig ActivePhone() {
    sim::PhoneConfig c = SmallPhone();
    c.bootRom = sim::BootRomKind::Active;
    return c;
}

// Active handshake up to 'R'.
void ActiveHandshake(Session& s) {
    ASSERT_EQ(S(s.a.Read(1)), "O");
    s.a.Write(std::string(10, 'r'));
    ASSERT_EQ(S(s.a.Read(1)), "K");
    s.a.Write("rr");
    ASSERT_EQ(S(s.a.Read(3)), "ZER");
}

Bytes BlockCommand(char c, uint16_t v) { return {static_cast<uint8_t>(c), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

TEST(SimActiveBootRom, AnnouncesUntilTheRatePatternThenConfirms) {
    Session s(ActivePhone());
    s.a.SetTimeoutMs(1000);
    const Bytes first = s.a.Read(3);  // announcements keep coming, one per 20 ms
    EXPECT_EQ(S(first), "OOO");
    EXPECT_GE(s.link.NowUs(), 30'000u + 40'000u);
    s.a.Write(std::string(10, 'r'));
    EXPECT_EQ(S(s.a.Read(1)), "K");
    s.link.clock().Sleep(200);  // no more 'O' after the pattern
    s.a.SetNonBlocking();
    EXPECT_TRUE(s.a.Read(16).empty());
    s.a.SetTimeoutMs(1000);
    s.a.Write("rr");
    EXPECT_EQ(S(s.a.Read(3)), "ZER");
}

TEST(SimActiveBootRom, RepeatedPatternAfterALostKIsAnsweredAgain) {
    Session s(ActivePhone());
    EXPECT_EQ(S(s.a.Read(1)), "O");
    s.a.Write(std::string(10, 'r'));
    EXPECT_EQ(S(s.a.Read(1)), "K");
    s.a.Write(std::string(10, 'r'));  // as if the 'K' had not arrived
    EXPECT_EQ(S(s.a.Read(1)), "K");
    s.a.Write("rr");
    EXPECT_EQ(S(s.a.Read(3)), "ZER");
}

TEST(SimActiveBootRom, LoadsBlocksAndRunsTheFlashLoader) {
    Session s(ActivePhone());
    ActiveHandshake(s);
    const Bytes image = LoaderImage("FWFLASH", 5000);
    for (uint16_t k = 0; k < 2; ++k) {
        Bytes block(4096, 0xFF);
        std::copy(image.begin() + k * 4096, image.begin() + std::min<std::size_t>(image.size(), (k + 1) * 4096u), block.begin());
        s.a.Write(BlockCommand('b', k));
        EXPECT_EQ(s.a.Read(3), BlockCommand('B', k));
        s.a.Write(block);
        s.a.Write(BlockCommand('c', sim::BlockChecksum(block)));
        EXPECT_EQ(S(s.a.Read(1)), "N");
    }
    s.a.Write(BlockCommand('b', 0xFFFF));
    EXPECT_EQ(S(s.a.Read(1)), "P");
    s.link.clock().Sleep(20);
    EXPECT_EQ(s.phone().stage(), sim::Stage::FlashLoader);
    ASSERT_EQ(s.phone().flashLoaderImage().bytes.size(), 8192u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), s.phone().flashLoaderImage().bytes.begin()));
    s.a.Write("*");
    EXPECT_EQ(S(s.a.Read(2)), "#A");
}

TEST(SimActiveBootRom, BadChecksumAndOversizedBlockAreRefused) {
    Session s(ActivePhone());
    ActiveHandshake(s);
    const Bytes zeros(4096, 0);
    s.a.Write(BlockCommand('b', 0));
    EXPECT_EQ(s.a.Read(3), BlockCommand('B', 0));
    s.a.Write(zeros);
    s.a.Write(BlockCommand('c', 0x1234));
    EXPECT_EQ(s.a.Read(3), (Bytes{'T', 0xFF, 0xFF}));  // 'T' and the checksum the ROM computed
    // Block 32 lies beyond the 128 KiB of RAM.
    s.a.Write(BlockCommand('b', 32));
    EXPECT_EQ(s.a.Read(3), BlockCommand('B', 32));
    s.a.Write(zeros);
    s.a.Write(BlockCommand('c', 0xFFFF));
    EXPECT_EQ(s.a.Read(3), (Bytes{'F', 0x00, 0x20}));
}

TEST(SimActiveBootRom, UnfinishedBlockIsDroppedAfterAQuietLine) {
    Session s(ActivePhone());
    ActiveHandshake(s);
    s.a.Write(BlockCommand('b', 0));
    EXPECT_EQ(s.a.Read(3), BlockCommand('B', 0));
    s.a.Write(Bytes(100, 0x11));  // the rest never comes
    s.link.clock().Sleep(1000);
    s.a.Write(BlockCommand('b', 0));  // the host retries the block
    EXPECT_EQ(s.a.Read(3), BlockCommand('B', 0));
}

TEST(SimActiveBootRom, GarbageImageLeavesThePhoneSilent) {
    Session s(ActivePhone());
    ActiveHandshake(s);
    s.a.Write(BlockCommand('b', 0));
    s.a.Read(3);
    const Bytes junk(4096, 0x5A);
    s.a.Write(junk);
    s.a.Write(BlockCommand('c', sim::BlockChecksum(junk)));
    EXPECT_EQ(S(s.a.Read(1)), "N");
    s.a.Write(BlockCommand('b', 0xFFFF));
    EXPECT_EQ(S(s.a.Read(1)), "P");
    s.link.clock().Sleep(20);
    EXPECT_TRUE(s.phone().halted());
    s.a.Write("*SYNC");
    s.a.SetTimeoutMs(500);
    EXPECT_TRUE(s.a.Read(1).empty());
}

TEST(SimPassiveBootRom, AnswersEveryPingAndIgnoresFramesBeforeTheSync) {
    Session s(SmallPhone());
    s.link.clock().Sleep(40);  // after the boot delay
    s.a.Write(BootFrame("info"));  // before '#': not a command
    s.a.SetTimeoutMs(300);
    EXPECT_TRUE(s.a.Read(1).empty());
    for (int i = 0; i < 3; ++i) {
        s.a.Write("?");
        EXPECT_EQ(S(s.a.Read(1)), "!");
    }
    s.a.Write("#");
    EXPECT_NE(S(s.BootExchange(s.a, "info")).find("respinfo+ok+"), std::string::npos);
}

TEST(SimPassiveBootRom, InfoWithIdRegisterIs24Bytes) {
    sim::PhoneConfig c = SmallPhone();
    c.passive.hasIdRegister = true;
    c.passive.idRegister = 0x00010100;
    c.passive.romMaskId = 0x41420043;
    Session s(c);
    ASSERT_TRUE(s.Wake(s.a));
    const Bytes r = s.BootExchange(s.a, "info");
    const std::size_t at = S(r).find("resp");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(sim::GetU32(r, at + 12), 24u);
    EXPECT_EQ(sim::GetU32(r, at + 20), 0x41420043u);
    EXPECT_EQ(sim::GetU32(r, at + 32), 4u);
    EXPECT_EQ(sim::GetU32(r, at + 36), 0x00010100u);
}

TEST(SimPassiveBootRom, RefusesBadFramesAndAnswersSync) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.Wake(s.a));
    Bytes bad = BootFrame("data", Words({0x1000, 4, 0}));
    bad[20] ^= 0x80;  // CRC
    s.a.Write(bad);
    EXPECT_NE(S(s.a.ReadUntil("(hw)")).find("respdatanack(hw)"), std::string::npos);
    // A block over the maximum transfer size is refused.
    Bytes big = Words({0x1000, 4353});
    big.resize(8 + 4353, 0);
    EXPECT_NE(S(s.BootExchange(s.a, "data", big)).find("nack"), std::string::npos);
    // A length that does not match the bytes is refused.
    EXPECT_NE(S(s.BootExchange(s.a, "data", Words({0x1000, 8, 0}))).find("nack"), std::string::npos);
    s.a.Write("sync");
    EXPECT_EQ(S(s.a.ReadUntil("-()-")), "-()-");
}

TEST(SimPassiveBootRom, TypeFiveLoadsSetupLoaderWhichLoadsFlashLoader) {
    sim::PhoneConfig c = SmallPhone();
    c.passive.type = 5;
    c.passive.maxTransferSize = 2304;
    c.setupLoader.type = 0x0102;
    c.setupLoader.maxTransferSize = 8448;
    Session s(c);
    ASSERT_TRUE(s.Wake(s.a));
    ASSERT_TRUE(s.LoadImage(s.a, 0x80000, LoaderImage("FWSETUP", 5000), 2048));
    s.link.clock().Sleep(20);
    EXPECT_EQ(s.phone().stage(), sim::Stage::SetupLoader);
    EXPECT_EQ(s.phone().setupLoaderImage().base, 0x80000u);
    ASSERT_TRUE(s.Wake(s.a));
    const Bytes r = s.BootExchange(s.a, "info");
    const std::size_t at = S(r).find("resp");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(sim::GetU32(r, at + 12), 16u);
    EXPECT_EQ(sim::GetU32(r, at + 16) >> 16, 0x0102u);
    EXPECT_EQ(sim::GetU32(r, at + 28), 8448u);
    // Chunks of 8192 (A = 8448 - 256) are taken by the setup loader.
    ASSERT_TRUE(s.LoadImage(s.a, 0x20000, LoaderImage("FWFLASH", 10000), 8192));
    s.link.clock().Sleep(20);
    EXPECT_EQ(s.phone().stage(), sim::Stage::FlashLoader);
    EXPECT_EQ(s.phone().flashLoaderImage().base, 0x20000u);
    EXPECT_EQ(s.phone().flashLoaderImage().bytes.size(), 10000u);
}

TEST(SimPassiveBootRom, UnsignedImageRunsOnlyWhenSignaturesAreNotRequired) {
    Session strict(SmallPhone());
    ASSERT_TRUE(strict.Wake(strict.a));
    ASSERT_TRUE(strict.LoadImage(strict.a, 0, Bytes(100, 0x33)));
    strict.link.clock().Sleep(20);
    EXPECT_TRUE(strict.phone().halted());

    sim::PhoneConfig c = SmallPhone();
    c.requireLoaderSignature = false;
    Session lax(c);
    ASSERT_TRUE(lax.Wake(lax.a));
    ASSERT_TRUE(lax.LoadImage(lax.a, 0, Bytes(100, 0x33)));
    lax.link.clock().Sleep(20);
    EXPECT_EQ(lax.phone().stage(), sim::Stage::FlashLoader);
}

TEST(SimPassiveBootRom, ListensOnlyOnItsUartAndWithinItsWindow) {
    sim::PhoneConfig c = SmallPhone();
    c.passive.listenWindowUs = 300'000;
    Session s(c);
    RawPort b(s.link, 1);
    s.link.clock().Sleep(40);
    b.SetTimeoutMs(100);
    b.Write("?");
    EXPECT_TRUE(b.Read(1).empty());  // UART B: nobody listens
    s.a.Write("?");
    EXPECT_EQ(S(s.a.Read(1)), "!");
    s.link.clock().Sleep(400);  // the window has closed
    s.a.SetTimeoutMs(100);
    s.a.Write("?");
    EXPECT_TRUE(s.a.Read(1).empty());
}

}  // namespace
}  // namespace flashwire::sim_test
