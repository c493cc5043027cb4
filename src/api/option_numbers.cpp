// Numbers in option values: atoi-like decimals and the bounds of ranges.
#include <cstdint>
#include <string_view>

#include "api/options.h"

namespace flashwire {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one bound like the scan formats "%lx" (hex) or "%lu": leading white
// space, an optional '+', for hex an optional "0x", then digits up to the
// first character that does not fit. False when no digit was read or the
// value does not fit in 32 bits.
bool ParseBound(std::string_view text, bool hex, uint32_t& value) {
    if (text.size() > kMaxRangeBoundLength) return false;
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    // "0x" counts as a prefix only before a hex digit ("0x" alone reads as 0).
    if (hex && i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        HexDigit(text[i + 2]) >= 0)
        i += 2;
    const unsigned base = hex ? 16 : 10;
    uint64_t v = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base) break;
        v = v * base + static_cast<unsigned>(d);
        if (v > UINT32_MAX) return false;
        ++digits;
    }
    if (digits == 0) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool HasHexMark(std::string_view text) { return text.find_first_of("xX") != std::string_view::npos; }

}  // namespace

int32_t ParseDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) return static_cast<int32_t>(-v);  // -v >= INT32_MIN
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

bool ParseRange(std::string_view text, uint32_t& first, uint32_t& last) {
    const std::size_t dash = text.find('-');
    const std::string_view firstText = text.substr(0, dash);
    std::string_view lastText;
    if (dash != std::string_view::npos) {
        lastText = text.substr(dash + 1);
        lastText = lastText.substr(0, lastText.find('-'));  // anything behind a second '-' is ignored
    }
    uint32_t a = 0, b = 0;
    if (!ParseBound(firstText, HasHexMark(firstText), a)) return false;
    if (!ParseBound(lastText, HasHexMark(lastText), b)) return false;
    if (a >= b) return false;
    first = a;
    last = b;
    return true;
}

}  // namespace flashwire
