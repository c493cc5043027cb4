#include "sim/replay/trace_file.h"

#include <charconv>
#include <sstream>
#include <string_view>

#include "trace/wire_trace.h"

namespace flashwire::sim {
namespace {

std::string_view NextWord(std::string_view& rest) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const std::size_t end = rest.find(' ');
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return word;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "12.345678" → microseconds.
bool ParseTime(std::string_view word, uint64_t& us) {
    const std::size_t dot = word.find('.');
    if (dot == std::string_view::npos || word.size() - dot - 1 != 6) return false;
    uint64_t seconds = 0;
    uint64_t micros = 0;
    const char* end = word.data() + dot;
    if (std::from_chars(word.data(), end, seconds).ptr != end || dot == 0) return false;
    const char* fEnd = word.data() + word.size();
    if (std::from_chars(end + 1, fEnd, micros).ptr != fEnd) return false;
    if (seconds > UINT64_MAX / 1000000u - 1) return false;
    us = seconds * 1000000u + micros;
    return true;
}

struct KindName {
    std::string_view word;
    TraceEventKind kind;
};
constexpr KindName kKinds[] = {
    {"open", TraceEventKind::Open},         {"open-failed", TraceEventKind::OpenFailed},
    {"close", TraceEventKind::Close},       {"rate", TraceEventKind::Rate},
    {"read-timeout", TraceEventKind::Timeouts}, {"timeouts", TraceEventKind::Timeouts},
    {"write", TraceEventKind::Write},       {"read", TraceEventKind::Read},
    {"timeout", TraceEventKind::Timeout},   {"read-failed", TraceEventKind::Failed},
    {"write-failed", TraceEventKind::Failed},
};

bool ParseLine(std::string_view line, TraceEvent& event, std::string& why) {
    std::string_view rest = line;
    if (!ParseTime(NextWord(rest), event.us)) {
        why = "expected a time in seconds with six decimals";
        return false;
    }
    const std::string_view port = NextWord(rest);
    if (port != "p0" && port != "p1") {
        why = "expected the port p0 or p1";
        return false;
    }
    event.port = port == "p0" ? 0 : 1;
    const std::string_view word = NextWord(rest);
    bool known = false;
    for (const KindName& k : kKinds) {
        if (k.word == word) {
            event.kind = k.kind;
            known = true;
        }
    }
    if (!known) {
        why = "unknown event \"" + std::string(word) + "\"";
        return false;
    }
    if (event.kind == TraceEventKind::Write || event.kind == TraceEventKind::Read) {
        // Hex bytes up to the printable column, which starts with '|'.
        const std::size_t bar = rest.find('|');
        std::string_view hex = rest.substr(0, bar);
        for (;;) {
            const std::string_view byte = NextWord(hex);
            if (byte.empty()) break;
            if (byte.size() != 2 || HexDigit(byte[0]) < 0 || HexDigit(byte[1]) < 0) {
                why = "expected bytes as two hex digits, got \"" + std::string(byte) + "\"";
                return false;
            }
            event.bytes.push_back(static_cast<uint8_t>(HexDigit(byte[0]) << 4 | HexDigit(byte[1])));
        }
        if (event.bytes.empty()) {
            why = "a data line without bytes";
            return false;
        }
    }
    const std::size_t start = rest.find_first_not_of(' ');
    event.text = start == std::string_view::npos ? std::string() : std::string(rest.substr(start));
    return true;
}

}  // namespace

bool ParseTrace(std::istream& in, std::vector<TraceEvent>& events, std::string& error) {
    events.clear();
    std::string line;
    uint32_t number = 0;
    uint64_t lastUs = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto where = [&] { return "line " + std::to_string(number) + ": "; };
        if (line.size() > kMaxTraceLine) {
            error = where() + "longer than " + std::to_string(kMaxTraceLine) + " characters";
            return false;
        }
        if (number == 1) {
            if (line != kTraceHeader) {
                error = where() + "not a wire trace (it starts with \"" + std::string(kTraceHeader) + "\")";
                return false;
            }
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        TraceEvent event;
        std::string why;
        if (!ParseLine(line, event, why)) {
            error = where() + why;
            return false;
        }
        if (event.us < lastUs) {
            error = where() + "time goes backwards";
            return false;
        }
        if (events.size() >= kMaxTraceEvents) {
            error = where() + "more than " + std::to_string(kMaxTraceEvents) + " events";
            return false;
        }
        lastUs = event.us;
        event.line = number;
        events.push_back(std::move(event));
    }
    if (number == 0) {
        error = "empty file, not a wire trace";
        return false;
    }
    return true;
}

bool ParseTraceText(const std::string& text, std::vector<TraceEvent>& events, std::string& error) {
    std::istringstream in(text);
    return ParseTrace(in, events, error);
}

}  // namespace flashwire::sim
