// The options record: defaults, the option-string parser and the checks.
#pragma once

#include <cstdint>
#include <string_view>

#include "flashwire/flash_api.h"
#include "state/job_plan.h"

namespace flashwire {

struct Session;

// Parses "first-last" of a /read or /reserved value; false for a bad definition
// (a bound that does not convert, is longer than kMaxRangeBoundLength
// characters or does not fit in 32 bits, or first not below last).
inline constexpr std::size_t kMaxRangeBoundLength = 100;
bool ParseRange(std::string_view text, uint32_t& first, uint32_t& last);

// Reads a decimal number like atoi (optional leading white space and sign,
// digits up to the first other character, no digits give 0), saturating at
// the limits of int32_t instead of overflowing.
int32_t ParseDecimal(std::string_view text);

// 0 if the record is usable, else ERR_BAD_PARAMS.
uint32_t CheckOptions(const FlashOptions& options);

// Sends the seventeen help lines.
void PrintOptionHelp(Session& ctx);

// The parser behind FlashParseOptionString; returns the number of accepted
// options, or -1 after a rejected one. ctx receives the echo and error lines
// (null: none are sent).
int ParseOptionString(Session* ctx, const char* text, FlashOptions& options);

// The maker behind FlashMakeOptionString.
uint32_t MakeOptionString(const FlashOptions& options, char* buffer, int32_t bufferSize);

}  // namespace flashwire
