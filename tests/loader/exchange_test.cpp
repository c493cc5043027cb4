// The flash loader exchange byte by byte: a boot-stage job leaves the flash
// loader running, port 0 is opened to it and the exchange is driven directly;
// the loader's answer to "CHKC" is replaced by hand-made bytes where a case
// needs them.
#include <gtest/gtest.h>

#include "session/error_codes.h"
#include "flashops/job_rig.h"
#include "loader/fl_sync.h"
#include "loader/fl_tokens.h"
#include "loader/command_exchange.h"
#include "sim/frame_codec.h"

namespace flashwire::job_test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A "*msg" or "*dmp" record: start 4CC, header words, body, its CRC, end 4CC.
Bytes Record(const char (&start)[5], std::initializer_list<uint32_t> header, const Bytes& body,
             const char (&end)[5]) {
    Bytes out;
    sim::PutU32(out, sim::FourCC(start));
    for (uint32_t w : header) sim::PutU32(out, w);
    out.insert(out.end(), body.begin(), body.end());
    sim::PutU32(out, sim::Crc32(body));
    sim::PutU32(out, sim::FourCC(end));
    return out;
}

Bytes Message(const Bytes& text) { return Record("*msg", {static_cast<uint32_t>(text.size())}, text, "msg."); }

const uint32_t kChkc = sim::FourCC("CHKC");
const Bytes kDumped = Cat({Text("A"), {0}, Text("%sDEFGHIJKLMNOPQRS")});  // 20 bytes: NUL and '%' among them

class LoaderOnPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.Options("/com=1 /phases=bl"));
        ASSERT_EQ(rig.Run(), SUCCESS) << rig.Transcript();
        rig.rig->Settle();  // the flash loader starts
        FlashContext& c = rig.ctx();
        ASSERT_TRUE(ComOpen(c, 0, 0, 115200, 1000));
        c.activePort = 0;
        c.portCount = 1;
        rig.rig->host.lines.clear();
        rig.phone().EnableWireLog(true);
    }
    void TearDown() override { ComCloseAll(rig.ctx()); }

    void AnswerChkcWith(const Bytes& bytes) {
        rig.phone().SetReplyFilter([bytes](const sim::OutgoingReply& r, Bytes& out) {
            if (r.token == "CHKC") out = bytes;
        });
    }
    Bytes Wire(sim::Direction direction) {
        Bytes out;
        for (const sim::WireRecord& w : rig.phone().wireLog())
            if (w.direction == direction) out.push_back(w.byte);
        return out;
    }
    // True when the host got these lines in this order (others may lie between).
    bool LinesInOrder(const std::vector<std::string>& want) {
        std::size_t k = 0;
        for (const boot_test::Line& l : rig.rig->host.lines)
            if (k < want.size() && l.text == want[k]) ++k;
        return k == want.size();
    }

    JobRig rig{"demo-active"};
};

struct FrameCase {
    const char* name;
    uint32_t command;
    Bytes payload;
    Bytes sent;      // what the phone receives
    Bytes answered;  // what the loader sends back
};

class Frames : public LoaderOnPort, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(Frames, CommandAndAnswerAreExactBytes) {
    const FrameCase& c = GetParam();
    Bytes reply(20);
    EXPECT_EQ(ExchangeCommand(rig.ctx(), c.command, c.payload, 0, reply, 3000), SUCCESS) << rig.Transcript();
    EXPECT_EQ(Wire(sim::Direction::ToPhone), c.sent);
    EXPECT_EQ(Wire(sim::Direction::ToHost), c.answered);
}

INSTANTIATE_TEST_SUITE_P(
    Loader, Frames,
    ::testing::Values(
        FrameCase{"NoPayload", sim::FourCC("DONE"), {}, Cat({Text("DONE"), {0, 0, 0, 0}, Text("EOT.")}),
                  Cat({Text("rplyDONE+ok!"), {0, 0, 0, 0}, Text("eom.")})},
        FrameCase{"CheckConnectionWord", kChkc, {0x78, 0x56, 0x34, 0x12},
                  {0x43, 0x48, 0x4B, 0x43, 0x04, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12,
                   0xAB, 0x3F, 0x95, 0x36, 0x45, 0x4F, 0x54, 0x2E},
                  {0x72, 0x70, 0x6C, 0x79, 0x43, 0x48, 0x4B, 0x43, 0x2B, 0x6F, 0x6B, 0x21,
                   0x00, 0x00, 0x00, 0x00, 0x65, 0x6F, 0x6D, 0x2E}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReplyCase {
    const char* name;
    Bytes answer;  // sent in place of the loader's "CHKC" reply
    uint32_t expectedReply;
    uint32_t rc;
    std::vector<std::string> lines;  // in this order
    Bytes buffer;                    // what the reply buffer then starts with
};

std::vector<ReplyCase> ReplyCases() {
    const Bytes four = {1, 2, 3, 4};
    const Bytes ok = sim::LoaderReplyOk(kChkc, four);
    Bytes badEnd = ok;
    std::copy_n("eom!", 4, badEnd.end() - 4);
    Bytes shortErr = Cat({Text("rplyCHKC-err"), {16, 0, 0, 0}, Bytes(16, 7)});
    sim::PutU32(shortErr, sim::Crc32(Bytes(16, 7)));
    shortErr = Cat({shortErr, Text("eom.")});
    const std::string protocol = std::string(ErrorName(ERR_PROTOCOL, nullptr)) + " (" + std::to_string(ERR_PROTOCOL) + ")";
    return {
        {"MessagesAndDumpBeforeReply",
         Cat({sim::LoaderTextMessage("first"), sim::LoaderTextMessage("second"), sim::LoaderMemoryDump(0x1000, kDumped), ok}),
         4, SUCCESS,
         {"MSG: first", "MSG: second", "DUMP: 0x00001000-0x00001013",
          "41 00 25 73 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F  \"A %sDEFGHIJKLMNO\"", "50 51 52 53  \"PQRS\""},
         four},
        {"EmptyMessage", Cat({Message({}), ok}), 4, SUCCESS, {"MSG: "}, four},
        {"MessageWithoutNul", Cat({Message(Text("no end")), ok}), 4, SUCCESS, {"MSG: no end"}, four},
        {"OversizedMessageDropped", Cat({Message(Bytes(3000, 'x')), sim::LoaderTextMessage("after"), ok}), 4, SUCCESS,
         {"MSG of 3000 bytes dropped (buffer holds 2048)", "MSG: after"}, four},
        {"OversizedDumpDropped", Cat({Record("*dmp", {0, 4999, 5000}, Bytes(5000, 0x55), "dmp."), ok}), 4, SUCCESS,
         {"DUMP of 5000 bytes dropped (buffer holds 4096)"}, four},
        {"RecordAbove64KiBRefused", Cat({Text("*msg"), {1, 0, 1, 0}, ok}), 4, ERR_PROTOCOL,
         {"MSG of 65537 bytes refused", "FLHandleMsg: " + protocol}, {}},
        {"ErrorRecordWhereNothingExpected", sim::LoaderReplyError(kChkc, 30, 1, 2, 3, 0xABCDEF01), 0, ERR_CMD_FAILED,
         {"Cmd CHKC FAILED: Err:30, 1=0x1, 2=0x2, 3=0x3, 2882400001=0xabcdef01"},
         {30, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0x01, 0xEF, 0xCD, 0xAB}},
        {"ErrorRecordOfOtherLength", shortErr, 0, ERR_PROTOCOL, {"Msg size mismatch: 20 != 16"}, {}},
        {"ShorterReplyThanExpected", sim::LoaderReplyOk(kChkc, Bytes(8, 9)), 12, ERR_PROTOCOL,
         {"Msg size mismatch: 12 != 8"}, {}},
        {"WrongEndMarker", badEnd, 4, ERR_PROTOCOL, {}, {}},
    };
}

class Replies : public LoaderOnPort, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, ResultLinesAndBuffer) {
    const ReplyCase& c = GetParam();
    AnswerChkcWith(c.answer);
    const Bytes word = {0x78, 0x56, 0x34, 0x12};
    Bytes reply(std::max<std::size_t>(c.expectedReply, 20), 0xEE);
    EXPECT_EQ(ExchangeCommand(rig.ctx(), FL_CMD_CHKC, word, c.expectedReply, reply, 3000), c.rc) << rig.Transcript();
    EXPECT_TRUE(LinesInOrder(c.lines)) << rig.Transcript();
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(c.buffer.size())), c.buffer);
}

INSTANTIATE_TEST_SUITE_P(Loader, Replies, ::testing::ValuesIn(ReplyCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderOnPort, SyncAgainstSilentLoaderTriesFiveTimesFiveSecondsApart) {
    rig.phone().SetReplyFilter([](const sim::OutgoingReply& r, Bytes& out) {
        if (r.token == "syn!") out.clear();
    });
    EXPECT_EQ(FLSync(rig.ctx()), ERR_PROTOCOL);
    const auto syncs = rig.Commands("SYNC");
    ASSERT_EQ(syncs.size(), 5u);
    for (std::size_t i = 1; i < syncs.size(); ++i) {
        EXPECT_GE(syncs[i].us - syncs[i - 1].us, 5'000'000u) << i;
        EXPECT_LT(syncs[i].us - syncs[i - 1].us, 5'010'000u) << i;
    }
}

// A stream table that names bytes outside the image buffers is refused
// before the frame goes out: the phone never waits for streams that cannot come.
TEST_F(LoaderOnPort, BadStreamTableSendsNothing) {
    Bytes payload(48, 0);
    StoreLe32(0x10000, payload.data());
    StoreLe32(0x100, payload.data() + 4);
    StoreLe32(1, payload.data() + 12);  // one stream, image buffer 0
    StoreLe32(0x100, payload.data() + 24);
    Bytes reply(20);
    EXPECT_EQ(ExchangeCommand(rig.ctx(), FL_CMD_TXDT, payload, 0, reply, 20000), ERR_PROTOCOL);
    EXPECT_TRUE(LinesInOrder({"Bad stream table"}));
    EXPECT_TRUE(Wire(sim::Direction::ToPhone).empty());
}

}  // namespace
}  // namespace flashwire::job_test
