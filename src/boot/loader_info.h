// The description the passive boot loader or the setup loader gives in reply
// to "info": 16 to 24 bytes, up to six u32 LE words.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

struct LoaderInfo {
    uint32_t words[6]{};  // words the reply does not contain are 0
    uint32_t length = 0;  // bytes of the reply

    uint32_t MinorVersion() const { return words[0] & 0xFFu; }
    uint32_t MajorVersion() const { return (words[0] >> 8) & 0xFFu; }
    uint32_t BootLoaderType() const { return (words[0] >> 16) & 0xFFu; }  // boot loader: bits 16-23
    uint32_t SetupLoaderType() const { return words[0] >> 16; }           // setup loader: bits 16-31
    uint32_t Flag() const { return words[0] >> 31; }
    uint32_t RomMaskId() const { return words[1]; }
    uint32_t UartNumber() const { return words[2] & 0xFFFFu; }
    uint32_t MaxTransferSize() const { return words[3]; }
    // The transfer size less the 256 bytes of framing (unsigned: wraps below 256).
    uint32_t AdjustedTransferSize() const { return words[3] - 256u; }
    // The ID register counts only when the reply really carries it.
    bool HasIdRegister() const { return words[4] >= 4 && length >= 24; }
    uint32_t IdRegister() const { return words[5]; }
};

inline constexpr uint32_t kInfoMinLength = 16;
inline constexpr uint32_t kInfoMaxLength = 24;

// "info" with up to 5 attempts and "sync" after each failed one. SUCCESS
// fills info; ERR_ABORT at once; otherwise the last attempt's code.
uint32_t RequestLoaderInfo(JobState& ctx, LoaderInfo& info);

}  // namespace flashwire
