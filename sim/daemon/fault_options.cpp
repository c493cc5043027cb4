#include "sim/daemon/fault_options.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace flashwire::simd {

namespace {

std::vector<std::string_view> SplitColons(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        if (colon == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// A probability from 0 to 1 written as a decimal fraction ("0.001", "1e-3").
bool ParseProbability(std::string_view text, double& out) {
    if (text.empty() || text.size() > 64) return false;
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value) || value < 0.0 || value > 1.0) {
        return false;
    }
    out = value;
    return true;
}

// DIRECTION: to-phone, to-host or both.
bool ParseDirection(std::string_view text, bool& toPhone, bool& toHost) {
    if (EqualsIgnoringCase(text, "to-phone")) {
        toPhone = true;
        toHost = false;
    } else if (EqualsIgnoringCase(text, "to-host")) {
        toPhone = false;
        toHost = true;
    } else if (EqualsIgnoringCase(text, "both")) {
        toPhone = toHost = true;
    } else {
        return false;
    }
    return true;
}

// UART: A, B or both.
bool ParseUart(std::string_view text, bool& a, bool& b) {
    if (EqualsIgnoringCase(text, "A")) {
        a = true;
        b = false;
    } else if (EqualsIgnoringCase(text, "B")) {
        a = false;
        b = true;
    } else if (EqualsIgnoringCase(text, "both")) {
        a = b = true;
    } else {
        return false;
    }
    return true;
}

constexpr uint64_t kMaxMilliseconds = UINT64_MAX / 1000u;

}  // namespace

bool ParseUnsigned(std::string_view text, uint64_t& out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    out = value;
    return true;
}

bool ParseLineFault(LineFaultOption::Kind kind, std::string_view text, LineFaultOption& out,
                    std::string& error) {
    const auto parts = SplitColons(text);
    LineFaultOption option;
    option.kind = kind;
    if (parts.size() > 3) {
        error = "expected P[:DIRECTION[:UART]], got \"" + std::string(text) + "\"";
        return false;
    }
    if (!ParseProbability(parts[0], option.probability)) {
        error = "probability must be a number from 0 to 1, got \"" + std::string(parts[0]) + "\"";
        return false;
    }
    if (parts.size() > 1 && !ParseDirection(parts[1], option.toPhone, option.toHost)) {
        error = "direction must be to-phone, to-host or both, got \"" + std::string(parts[1]) + "\"";
        return false;
    }
    if (parts.size() > 2 && !ParseUart(parts[2], option.uartA, option.uartB)) {
        error = "UART must be A, B or both, got \"" + std::string(parts[2]) + "\"";
        return false;
    }
    out = option;
    return true;
}

bool ParseStallFault(std::string_view text, std::vector<sim::StallFault>& out, std::string& error) {
    const auto parts = SplitColons(text);
    const std::string_view head = parts[0];
    const std::size_t at = head.find('@');
    if (parts.size() > 3 || at == std::string_view::npos) {
        error =
            "expected MS@BYTES or MS@TIMEms, optionally :DIRECTION[:UART], got \"" + std::string(text) + "\"";
        return false;
    }
    uint64_t durationMs = 0;
    if (!ParseUnsigned(head.substr(0, at), durationMs) || durationMs > kMaxMilliseconds) {
        error = "stall duration must be a number of milliseconds, got \"" + std::string(head.substr(0, at)) +
                "\"";
        return false;
    }
    std::string_view when = head.substr(at + 1);
    const bool isTime = when.size() > 2 && when.substr(when.size() - 2) == "ms";
    if (isTime) when.remove_suffix(2);
    uint64_t point = 0;
    if (!ParseUnsigned(when, point) || (isTime && point > kMaxMilliseconds)) {
        error = "stall start must be a byte count or a time in ms (\"250ms\"), got \"" +
                std::string(head.substr(at + 1)) + "\"";
        return false;
    }
    // A stall defaults to the phone's transmitter on UART A.
    bool toPhone = false, toHost = true, uartA = true, uartB = false;
    if (parts.size() > 1 && !ParseDirection(parts[1], toPhone, toHost)) {
        error = "direction must be to-phone, to-host or both, got \"" + std::string(parts[1]) + "\"";
        return false;
    }
    if (parts.size() > 2 && !ParseUart(parts[2], uartA, uartB)) {
        error = "UART must be A, B or both, got \"" + std::string(parts[2]) + "\"";
        return false;
    }
    for (const sim::Direction d : {sim::Direction::ToPhone, sim::Direction::ToHost}) {
        if ((d == sim::Direction::ToPhone && !toPhone) || (d == sim::Direction::ToHost && !toHost)) {
            continue;
        }
        for (unsigned uart = 0; uart < 2; ++uart) {
            if ((uart == 0 && !uartA) || (uart == 1 && !uartB)) continue;
            sim::StallFault stall;
            stall.direction = d;
            stall.uart = uart;
            stall.durationUs = durationMs * 1000u;
            if (isTime) {
                stall.atUs = point * 1000u;
            } else {
                stall.atByte = point;
            }
            out.push_back(stall);
        }
    }
    return true;
}

bool ParseReplyFault(std::string_view text, sim::ReplyFault& out, std::string& error) {
    // Split from the right: the token itself is left as it stands.
    const std::size_t second = text.rfind(':');
    const std::size_t first = second == std::string_view::npos || second == 0 ? std::string_view::npos
                                                                              : text.rfind(':', second - 1);
    if (first == std::string_view::npos || first == 0) {
        error = "expected TOKEN:N:KIND, got \"" + std::string(text) + "\"";
        return false;
    }
    const std::string_view token = text.substr(0, first);
    const std::string_view count = text.substr(first + 1, second - first - 1);
    const std::string_view kind = text.substr(second + 1);
    if (token.size() > 8) {
        error = "reply token \"" + std::string(token) + "\" is too long";
        return false;
    }
    for (const char c : token) {
        if (c < 0x20 || c > 0x7E) {
            error = "reply token must be printable ASCII";
            return false;
        }
    }
    uint64_t occurrence = 0;
    if (!ParseUnsigned(count, occurrence) || occurrence > UINT32_MAX) {
        error = "reply occurrence must be a number (0 = the first), got \"" + std::string(count) + "\"";
        return false;
    }
    sim::ReplyFault fault;
    if (EqualsIgnoringCase(kind, "err") || EqualsIgnoringCase(kind, "nack") ||
        EqualsIgnoringCase(kind, "refuse")) {
        fault.kind = sim::ReplyFaultKind::Refuse;
    } else if (EqualsIgnoringCase(kind, "silent") || EqualsIgnoringCase(kind, "silence")) {
        fault.kind = sim::ReplyFaultKind::Silence;
    } else if (EqualsIgnoringCase(kind, "badcrc")) {
        fault.kind = sim::ReplyFaultKind::BadCrc;
    } else {
        error = "reply fault kind must be err, nack, silent or badcrc, got \"" + std::string(kind) + "\"";
        return false;
    }
    fault.token = std::string(token);
    fault.occurrence = static_cast<uint32_t>(occurrence);
    out = fault;
    return true;
}

bool ParseStuckBits(std::string_view text, sim::StuckBits& out, std::string& error) {
    const auto parts = SplitColons(text);
    uint64_t address = 0;
    uint64_t mask = 0;
    if (parts.size() != 2 || !ParseUnsigned(parts[0], address) || address > UINT32_MAX ||
        !ParseUnsigned(parts[1], mask) || mask == 0 || mask > 0xFF) {
        error = "expected ADDRESS:MASK (a 32-bit address, a non-zero 8-bit mask), got \"" +
                std::string(text) + "\"";
        return false;
    }
    out.address = static_cast<uint32_t>(address);
    out.mask = static_cast<uint8_t>(mask);
    return true;
}

void ApplyFaultOptions(const FaultOptions& options, sim::FaultConfig& faults) {
    for (const LineFaultOption& line : options.line) {
        for (const sim::Direction d : {sim::Direction::ToPhone, sim::Direction::ToHost}) {
            if ((d == sim::Direction::ToPhone && !line.toPhone) ||
                (d == sim::Direction::ToHost && !line.toHost)) {
                continue;
            }
            for (unsigned uart = 0; uart < 2; ++uart) {
                if ((uart == 0 && !line.uartA) || (uart == 1 && !line.uartB)) continue;
                sim::LineFaults& cell = faults.Line(d, uart);
                switch (line.kind) {
                    case LineFaultOption::Kind::BitFlip:
                        cell.bitFlip = line.probability;
                        break;
                    case LineFaultOption::Kind::Drop:
                        cell.drop = line.probability;
                        break;
                    case LineFaultOption::Kind::Garbage:
                        cell.garbage = line.probability;
                        break;
                }
            }
        }
    }
    faults.stalls.insert(faults.stalls.end(), options.stalls.begin(), options.stalls.end());
    faults.replies.insert(faults.replies.end(), options.replies.begin(), options.replies.end());
    faults.stuckBits.insert(faults.stuckBits.end(), options.stuckBits.begin(), options.stuckBits.end());
    if (options.silentAtCommand) faults.silentAtCommand = *options.silentAtCommand;
    if (options.silentAtUs) faults.silentAtUs = *options.silentAtUs;
    if (options.rebootAtCommand) faults.rebootAtCommand = *options.rebootAtCommand;
    if (options.rebootAtUs) faults.rebootAtUs = *options.rebootAtUs;
}

}  // namespace flashwire::simd
