// Fuzzes the option-string parser and maker.
//
// Invariants checked beyond memory safety (ASan/UBSan):
// - FlashParseOptionString returns 0 or ERR_BAD_CMDLINE, nothing else;
// - a parsed record that CheckOptions accepts, and whose texts hold no double
//   quote, is made into a string (big buffer) that parses again into a record
//   making the very same string;
// - the maker, given any size, writes nothing past that size (guard bytes),
//   leaves a NUL-terminated prefix of the full string, and fails only with
//   ERR_NOMEM when the full string does not fit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/options.h"
#include "flashwire/flash_api.h"
#include "job/lifecycle.h"

using namespace flashwire;

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "INVARIANT FAILED: %s\n%s\n", what, detail.c_str());
    std::abort();
}

FlashHandle& Handle() {
    static FlashHandle handle = [] {
        FlashHandle h{};
        h.size = sizeof(FlashHandle);
        FlashOptions defaults{};
        InitHandle(&h, &defaults, platform::SystemServices());
        h.message = [](FlashHandle*, int32_t, const char*) -> int32_t { return 0; };
        return h;
    }();
    return handle;
}

bool HasQuote(const char (&text)[FLASH_TEXT_SIZE]) {
    return std::memchr(text, '"', strnlen(text, FLASH_TEXT_SIZE)) != nullptr;
}

constexpr int32_t kBigBuffer = 8192;

std::string Make(const FlashOptions& options, uint32_t& rc) {
    std::vector<char> buffer(kBigBuffer, '\x7f');
    rc = FlashMakeOptionString(&options, buffer.data(), kBigBuffer);
    if (std::memchr(buffer.data(), 0, buffer.size()) == nullptr) Fail("maker left no NUL", "");
    return std::string(buffer.data());
}

// The maker with a small size: a guard region behind the given size stays
// untouched, and what was written is a terminated prefix of the full string.
void CheckSize(const FlashOptions& options, const std::string& full, uint32_t fullRc, int32_t size) {
    constexpr std::size_t kGuard = 64;
    std::vector<char> buffer(static_cast<std::size_t>(size) + kGuard, '\x5a');
    const uint32_t rc = FlashMakeOptionString(&options, buffer.data(), size);
    for (std::size_t i = static_cast<std::size_t>(size); i < buffer.size(); ++i)
        if (buffer[i] != '\x5a') Fail("maker wrote past the given size", "size " + std::to_string(size) + ": " + full);
    const std::size_t len = strnlen(buffer.data(), static_cast<std::size_t>(size));
    if (len >= static_cast<std::size_t>(size)) Fail("maker left no NUL within the size", full);
    if (full.compare(0, len, buffer.data(), len) != 0) Fail("maker output is not a prefix of the full string", full);
    if (fullRc == SUCCESS) {
        const bool fits = full.size() < static_cast<std::size_t>(size);
        if (fits && (rc != SUCCESS || len != full.size()))
            Fail("maker failed although the string fits", "size " + std::to_string(size) + ": " + full);
        if (!fits && rc != ERR_NOMEM) Fail("maker did not report ERR_NOMEM for a short buffer", full);
    } else if (rc != fullRc && rc != ERR_NOMEM) {
        Fail("maker returned an unexpected code for a short buffer", full);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    FlashOptions options{};
    int32_t count = -1;
    const uint32_t rc = FlashParseOptionString(&Handle(), text.c_str(), &count, &options);
    if (rc != SUCCESS && rc != ERR_BAD_CMDLINE) Fail("parse returned an undocumented code", text);
    if (rc != SUCCESS) {
        if (count != 0) Fail("count not 0 after a failed parse", text);
        return 0;
    }
    if (count < 0) Fail("negative count after a successful parse", text);

    uint32_t madeRc = 0;
    const std::string made = Make(options, madeRc);
    const bool valid = CheckOptions(options) == SUCCESS;
    if (valid && madeRc != SUCCESS) Fail("maker refused a valid record", text);
    if (!valid && (madeRc != ERR_BAD_PARAMS || !made.empty())) Fail("maker accepted an invalid record", text);

    // Sizes around and inside the string, one chosen by the input.
    uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    const int32_t n = static_cast<int32_t>(made.size());
    for (const int32_t s : {1, n, n + 1, static_cast<int32_t>(1 + hash % static_cast<uint32_t>(n + 2))})
        if (s > 0) CheckSize(options, made, madeRc, s);
    if (FlashMakeOptionString(&options, nullptr, 100) != ERR_NOMEM) Fail("null buffer not refused", text);

    if (!valid || HasQuote(options.platform) || HasQuote(options.file) || HasQuote(options.saveFile)) return 0;

    FlashOptions again{};
    const uint32_t rc2 = FlashParseOptionString(&Handle(), made.c_str(), &count, &again);
    if (rc2 != SUCCESS) Fail("made string does not parse again", text + "\n=> " + made);
    uint32_t remadeRc = 0;
    const std::string remade = Make(again, remadeRc);
    if (remadeRc != SUCCESS || remade != made)
        Fail("string made from the re-parsed record differs", text + "\n=> " + made + "\n=> " + remade);
    return 0;
}
