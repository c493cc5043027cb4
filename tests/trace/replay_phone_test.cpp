// The trace played back as the phone: answers in order and on time, pings
// repeated or skipped by a polling host, and the first byte that differs.
#include <gtest/gtest.h>

#include "sim/replay/replay_phone.h"

namespace flashwire::sim {
namespace {

using Bytes = std::vector<uint8_t>;
Bytes B(std::string_view s) { return {s.begin(), s.end()}; }

// A small trace: the host opens p0, pings twice ('?' at 10 and 20 ms), reads
// "!" 1 ms after the second, writes "INFO" and reads "info" 3 ms later; on p1
// it writes "xy" and reads nothing.
const char* const kTrace =
    "# flashwire wire trace 1\n"
    "# a comment\n"
    "0.000000 p0 open COM1\n"
    "0.000010 p0 rate 115200 8N1\n"
    "0.010000 p0 write 3f  |?|\n"
    "0.020000 p0 write 3f  |?|\n"
    "0.021000 p0 read  21  |!|\n"
    "0.030000 p0 write 49 4e 46 4f  |INFO|\n"
    "0.030500 p1 write 78 79  |xy|\n"
    "0.033000 p0 read  69 6e 66 6f  |info|\n"
    "0.033000 p0 timeout 0 of 4 bytes in 5 ms\n"
    "0.034000 p0 close\n";

ReplayPhone Make(bool trackOpens = true) {
    std::vector<TraceEvent> events;
    std::string error;
    EXPECT_TRUE(ParseTraceText(kTrace, events, error)) << error;
    return ReplayPhone(std::move(events), trackOpens);
}

TEST(ReplayPhone, AnswersAfterTheHostsWritesWithTheRecordedDelay) {
    ReplayPhone replay = Make();
    EXPECT_TRUE(replay.TakeToHost(0, 1'000'000).empty());  // waits for the host to open
    replay.HostOpened(0, 1'000'000);
    replay.FromHost(0, B("??"), 1'005'000);
    // "!" was read 1 ms after the second ping: due 0.5 ms after it here.
    EXPECT_TRUE(replay.TakeToHost(0, 1'005'499).empty());
    EXPECT_EQ(replay.NextDueUs(), 1'005'500u);
    EXPECT_EQ(replay.TakeToHost(0, 1'005'500), B("!"));
    // "info" waits for "INFO" and p1's "xy" before it, then comes 2.5 ms - 0.5 ms after "xy".
    EXPECT_TRUE(replay.TakeToHost(0, 1'100'000).empty());
    replay.FromHost(0, B("INF"), 1'100'000);
    replay.FromHost(0, B("O"), 1'150'000);
    EXPECT_TRUE(replay.TakeToHost(0, 1'190'000).empty());
    replay.FromHost(1, B("xy"), 1'200'000);
    EXPECT_TRUE(replay.TakeToHost(0, 1'201'999).empty());
    EXPECT_EQ(replay.TakeToHost(0, 1'202'000), B("info"));
    EXPECT_TRUE(replay.TakeToHost(1, 1'300'000).empty());
    EXPECT_TRUE(replay.finished());
    EXPECT_FALSE(replay.divergence());
    EXPECT_EQ(replay.matched(0), 6u);
    EXPECT_EQ(replay.answered(0), 5u);
}

TEST(ReplayPhone, AReadRecordedRightAfterAPingMayComeBeforeIt) {
    // "!" 1 ms after ping 2 in the trace; with ping 2 only 0.3 ms before it,
    // it is sent after ping 1 (the host's look after ping 2 must find it).
    std::vector<TraceEvent> events;
    std::string error;
    ASSERT_TRUE(ParseTraceText("# flashwire wire trace 1\n"
                               "0.010000 p0 write 3f  |?|\n"
                               "0.011000 p0 write 3f  |?|\n"
                               "0.011300 p0 read  21  |!|\n",
                               events, error))
        << error;
    ReplayPhone replay(std::move(events), false);
    replay.FromHost(0, B("?"), 100'000);
    EXPECT_EQ(replay.TakeToHost(0, 100'800), B("!"));  // 1.3 ms - 0.5 ms after ping 1
}

struct DivergenceCase {
    const char* name;
    std::vector<std::pair<uint32_t, std::string>> host;  // (port, bytes) in order
    bool diverges;
    uint32_t port;
    uint64_t offset;
    int expected;
    uint8_t got;
    uint32_t line;
    uint64_t repeats;
    uint64_t skips;
};

TEST(ReplayPhone, FirstDifferingByteAndPollingTolerance) {
    const DivergenceCase cases[] = {
        {"same", {{0, "??INFO"}, {1, "xy"}}, false, 0, 0, -1, 0, 0, 0, 0},
        {"first byte", {{0, "!"}}, true, 0, 0, '?', '!', 5, 0, 0},
        {"inside a command", {{0, "??INFX"}}, true, 0, 5, 'O', 'X', 8, 0, 0},
        {"other port", {{0, "??"}, {1, "xz"}}, true, 1, 1, 'y', 'z', 9, 0, 0},
        {"after the trace's end", {{0, "??INFO!"}}, true, 0, 6, -1, '!', 0, 0, 0},
        {"a ping more", {{0, "????INFO"}, {1, "xy"}}, false, 0, 0, -1, 0, 0, 2, 0},
        {"a ping fewer", {{0, "?INFO"}, {1, "xy"}}, false, 0, 0, -1, 0, 0, 0, 1},
        {"a ping more, then wrong", {{0, "???INFX"}}, true, 0, 6, 'O', 'X', 8, 1, 0},
        {"a ping more, then a second command byte", {{0, "???N"}}, true, 0, 3, 'I', 'N', 8, 1, 0},
    };
    for (const DivergenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReplayPhone replay = Make(false);
        uint64_t now = 0;
        for (const auto& [port, bytes] : c.host) {
            now += 10'000;
            replay.FromHost(port, B(bytes), now);
            replay.TakeToHost(0, now);
        }
        replay.TakeToHost(0, now + 100'000);
        ASSERT_EQ(replay.divergence().has_value(), c.diverges);
        EXPECT_EQ(replay.repeats(0), c.repeats);
        EXPECT_EQ(replay.skips(0), c.skips);
        if (!c.diverges) {
            EXPECT_TRUE(replay.finished());
            continue;
        }
        const ReplayDivergence& d = *replay.divergence();
        EXPECT_EQ(d.port, c.port);
        EXPECT_EQ(d.offset, c.offset);
        EXPECT_EQ(d.expected, c.expected);
        EXPECT_EQ(d.got, c.got);
        EXPECT_EQ(d.traceLine, c.line);
        EXPECT_FALSE(replay.finished());
        // Nothing more is answered after a divergence.
        replay.FromHost(c.port, B("??INFO"), now + 200'000);
        EXPECT_TRUE(replay.TakeToHost(0, now + 300'000).empty());
    }
}

TEST(ReplayPhone, TraceFilesThatAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "empty file"},
        {"0.000000 p0 open COM1\n", "line 1: not a wire trace"},
        {"# flashwire wire trace 1\n0.1 p0 close\n", "line 2: expected a time"},
        {"# flashwire wire trace 1\n0.000001 p2 close\n", "line 2: expected the port p0 or p1"},
        {"# flashwire wire trace 1\n0.000001 p0 jump\n", "line 2: unknown event \"jump\""},
        {"# flashwire wire trace 1\n0.000001 p0 write 3 |?|\n", "line 2: expected bytes as two hex digits"},
        {"# flashwire wire trace 1\n0.000001 p0 read |?|\n", "line 2: a data line without bytes"},
        {"# flashwire wire trace 1\n0.000002 p0 close\n0.000001 p0 close\n", "line 3: time goes backwards"},
    };
    for (const auto& [text, message] : cases) {
        std::vector<TraceEvent> events;
        std::string error;
        EXPECT_FALSE(ParseTraceText(text, events, error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0u) << error;
    }
}

}  // namespace
}  // namespace flashwire::sim

namespace flashwire::sim {
namespace {

// p1 is probed ('*' three times, "#B" within 0.5 ms), then p0 sends "BAUD"
// and reads "ok". A host answered after its first probe goes on to p0 at once.
TEST(ReplayPhone, PingsLeftOnOnePortWhenTheHostGoesOnOnTheOther) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, std::string>> host;
        bool diverges;
        uint64_t skips;
        uint64_t repeats;
        uint64_t offset;  // of the divergence on p0
    };
    const Case cases[] = {
        {"went on", {{1, "*"}, {0, "BAUD"}}, false, 2, 0, 0},
        {"a late ping after it", {{1, "*"}, {0, "BAUD"}, {1, "*"}}, false, 2, 1, 0},
        {"went on, then wrong", {{1, "*"}, {0, "BAUX"}}, true, 0, 0, 3},
        {"went on in two writes, then wrong", {{1, "*"}, {0, "BA"}, {0, "UX"}}, true, 2, 0, 3},
        {"a ping on the wrong port first", {{0, "*"}}, true, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TraceEvent> events;
        std::string error;
        ASSERT_TRUE(ParseTraceText("# flashwire wire trace 1\n"
                                   "0.010000 p1 write 2a  |*|\n"
                                   "0.010100 p1 write 2a  |*|\n"
                                   "0.010200 p1 write 2a  |*|\n"
                                   "0.010250 p1 read  23 42  |#B|\n"
                                   "0.011000 p0 write 42 41 55 44  |BAUD|\n"
                                   "0.012000 p0 read  6f 6b  |ok|\n",
                                   events, error))
            << error;
        ReplayPhone replay(std::move(events), false);
        uint64_t now = 0;
        for (const auto& [port, bytes] : c.host) {
            now += 10'000;
            replay.FromHost(port, B(bytes), now);
        }
        const Bytes answer = replay.TakeToHost(0, now + 100'000);
        ASSERT_EQ(replay.divergence().has_value(), c.diverges);
        EXPECT_EQ(replay.skips(1), c.skips);
        EXPECT_EQ(replay.repeats(1), c.repeats);
        EXPECT_EQ(answer, c.diverges ? Bytes{} : B("ok"));
        if (c.diverges) {
            EXPECT_EQ(replay.divergence()->port, 0u);
            EXPECT_EQ(replay.divergence()->offset, c.offset);
        }
    }
}

}  // namespace
}  // namespace flashwire::sim
