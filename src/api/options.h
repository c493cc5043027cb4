// The options record: defaults, the option-string parser and the checks.
#pragma once

#include <cstdint>

#include "job/context.h"

namespace flashwire {

void SetDefaultOptions(FlashOptions& options);

// Parses "first-last" of a /read or /reserved value; false for a bad definition.
bool ParseRange(const char* text, uint32_t& first, uint32_t& last);

// 0 if the record is usable, else ERR_BAD_PARAMS.
uint32_t CheckOptions(const FlashOptions& options);

// Sends the seventeen help lines.
void PrintOptionHelp(FlashContext& ctx);

// The parser behind FlashParseOptionString; returns the number of accepted
// options, or -1 after a rejected one.
int ParseOptionString(FlashContext& ctx, const char* text, FlashOptions& options);

// The maker behind FlashMakeOptionString.
uint32_t MakeOptionString(const FlashOptions& options, char* buffer, int32_t bufferSize);

}  // namespace flashwire
