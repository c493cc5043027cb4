// Byte-exact conformance of the phone's side of the framed protocols.
#include "sim_rig.h"

namespace flashwire::sim_test {
namespace {

TEST(SimConformance, Crc32CheckValues) {
    EXPECT_EQ(sim::Crc32(B("123456789")), 0x3A8639CBu);
    EXPECT_EQ(sim::Crc32(B("abc")), 0xCBA7F2E7u);
    EXPECT_EQ(sim::Crc32({}), 0x00000001u);
}

TEST(SimConformance, BlockChecksums) {
    EXPECT_EQ(sim::BlockChecksum(Bytes(4096, 0xFF)), 0x0FFF);
    EXPECT_EQ(sim::BlockChecksum(Bytes(4096, 0x00)), 0xFFFF);
}

TEST(SimConformance, InfoFrameOfTwelveBytesIsAnswered) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.Wake(s.a));
    const Bytes info = {0x69, 0x6E, 0x66, 0x6F, 0, 0, 0, 0, 0x28, 0x70, 0x63, 0x29};
    EXPECT_EQ(BootFrame("info"), info);
    s.a.Write(info);
    const Bytes reply = s.a.ReadUntil("(hw)");
    const std::string text = S(reply);
    const std::size_t at = text.find("resp");
    ASSERT_NE(at, std::string::npos);
    // "resp" "info" "+ok+" 16, four words, their CRC, "(hw)".
    ASSERT_EQ(reply.size() - at, 4u + 4 + 4 + 4 + 16 + 4 + 4);
    EXPECT_EQ(text.substr(at, 12), "respinfo+ok+");
    EXPECT_EQ(sim::GetU32(reply, at + 12), 16u);
    const Bytes payload(reply.begin() + static_cast<std::ptrdiff_t>(at + 16), reply.begin() + static_cast<std::ptrdiff_t>(at + 32));
    EXPECT_EQ(sim::GetU32(payload, 0), 0x00020201u);  // type 2, V2.1
    EXPECT_EQ(sim::GetU32(payload, 12), 4352u);
    EXPECT_EQ(sim::GetU32(reply, at + 32), sim::Crc32(payload));
    EXPECT_EQ(text.substr(at + 36), "(hw)");
}

TEST(SimConformance, DataFrameOfTwentyEightBytes) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.Wake(s.a));
    const Bytes data = {0x64, 0x61, 0x74, 0x61, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x04, 0x00,
                        0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0xB0, 0x26, 0x40, 0x9B, 0x28, 0x70, 0x63, 0x29};
    EXPECT_EQ(BootFrame("data", Words({0x00080000, 4, 0x04030201})), data);
    s.a.Write(data);
    const std::string reply = S(s.a.ReadUntil("(hw)"));
    EXPECT_NE(reply.find(std::string("respdata+ok+") + std::string(4, '\0') + "(hw)"), std::string::npos) << reply;
    const auto& log = s.phone().commandLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().token, "data");
    EXPECT_TRUE(log.back().wellFormed);
    EXPECT_EQ(log.back().payload, Bytes(data.begin() + 8, data.begin() + 20));
}

TEST(SimConformance, ChkcExchangeOfTwentyBytes) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.StartFlashLoader());
    const Bytes chkc = {0x43, 0x48, 0x4B, 0x43, 0x04, 0x00, 0x00, 0x00, 0x78, 0x56,
                        0x34, 0x12, 0xAB, 0x3F, 0x95, 0x36, 0x45, 0x4F, 0x54, 0x2E};
    EXPECT_EQ(LoaderFrame("CHKC", U32(0x12345678)), chkc);
    s.a.Write(chkc);
    const Bytes answer = {0x72, 0x70, 0x6C, 0x79, 0x43, 0x48, 0x4B, 0x43, 0x2B, 0x6F,
                          0x6B, 0x21, 0x00, 0x00, 0x00, 0x00, 0x65, 0x6F, 0x6D, 0x2E};
    EXPECT_EQ(s.a.ReadUntil("eom."), answer);
}

TEST(SimConformance, ErrorReplyCarriesTwentyByteRecord) {
    const Bytes r = sim::LoaderReplyError(sim::FourCC("CLOS"), 0x13, 1, 2, 3, 4);
    ASSERT_EQ(r.size(), 16u + 20 + 4 + 4);
    EXPECT_EQ(S(Bytes(r.begin(), r.begin() + 12)), "rplyCLOS-err");
    EXPECT_EQ(sim::GetU32(r, 12), 20u);
    EXPECT_EQ(sim::GetU32(r, 16), 0x13u);
    EXPECT_EQ(sim::GetU32(r, 32), 4u);
    EXPECT_EQ(sim::GetU32(r, 36), sim::Crc32(Bytes(r.begin() + 16, r.begin() + 36)));
    EXPECT_EQ(S(Bytes(r.end() - 4, r.end())), "eom.");
}

TEST(SimConformance, TextMessageAndDumpRecords) {
    const Bytes empty = sim::LoaderTextMessage("");
    // "*msg", length 1 (the NUL), the NUL, its CRC, "msg.".
    ASSERT_EQ(empty.size(), 4u + 4 + 1 + 4 + 4);
    EXPECT_EQ(sim::GetU32(empty, 4), 1u);
    EXPECT_EQ(sim::GetU32(empty, 9), sim::Crc32(Bytes{0}));
    const Bytes dump = sim::LoaderMemoryDump(0x1000, Bytes(20, 0x41));
    EXPECT_EQ(S(Bytes(dump.begin(), dump.begin() + 4)), "*dmp");
    EXPECT_EQ(sim::GetU32(dump, 4), 0x1000u);
    EXPECT_EQ(sim::GetU32(dump, 8), 0x1013u);
    EXPECT_EQ(sim::GetU32(dump, 12), 20u);
    EXPECT_EQ(S(Bytes(dump.end() - 4, dump.end())), "dmp.");
}

TEST(SimConformance, InfoReplyLayoutOf116Bytes) {
    sim::PhoneConfig c = SmallPhone();
    c.chips[0].intelManufacturer = 0x57;
    c.chips[0].intelDevice = 0x8810;
    c.flashLoader.majorVersion = 5;
    c.flashLoader.minorVersion = 5;
    c.flashLoader.speeds = {115200, 460800, 0, 0, 0};
    Session s(c);
    ASSERT_TRUE(s.StartFlashLoader());
    const LoaderReply r = s.Command("INFO", Bytes(36, 0));
    ASSERT_TRUE(r.complete && r.ok && r.crcOk);
    ASSERT_EQ(r.payload.size(), 116u);
    EXPECT_EQ(r.word(0), 0x0505u);
    EXPECT_EQ(r.word(1), 1u);
    EXPECT_EQ(r.word(2), 0x42u << 16);
    EXPECT_EQ(r.word(3), 0x110u);
    EXPECT_EQ(r.word(4), 0x57u << 16);
    EXPECT_EQ(r.word(5), 0x8810u);
    EXPECT_EQ(r.word(6), 0u);  // first address
    for (unsigned i = 7; i < 22; ++i) EXPECT_EQ(r.word(i), 0u) << i;
    EXPECT_EQ(r.word(22), 0x10000u);  // maxTxSize at offset 88
    EXPECT_EQ(r.word(23), 0x2000u);
    EXPECT_EQ(r.word(24), 115200u);
    EXPECT_EQ(r.word(25), 460800u);
    EXPECT_EQ(r.word(26), 0u);
}

TEST(SimConformance, FrameWithBadCrcOrEndMarkerIsRefused) {
    Session s(SmallPhone());
    ASSERT_TRUE(s.StartFlashLoader());
    Bytes bad = LoaderFrame("CHKC", U32(0x12345678));
    bad[12] ^= 0x01;  // CRC
    s.a.Write(bad);
    LoaderReply r = ParseLoaderReply(s.a.ReadUntil("eom."));
    ASSERT_TRUE(r.complete);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.errorCode(), sim::kErrBadCrc);
    Bytes badEnd = LoaderFrame("CHKC", U32(0x12345678));
    badEnd.back() = 'X';
    s.a.Write(badEnd);
    r = ParseLoaderReply(s.a.ReadUntil("eom."));
    EXPECT_EQ(r.errorCode(), sim::kErrBadEndMarker);
    // A command without payload is 12 bytes and answered.
    EXPECT_EQ(LoaderFrame("DONE").size(), 12u);
    EXPECT_TRUE(s.Command("DONE").ok);
}

}  // namespace
}  // namespace flashwire::sim_test
