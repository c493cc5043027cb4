// The four-character tokens of the exchange with the passive boot loader and
// the setup loader.
#pragma once

#include <cstdint>

#include "wire/four_cc.h"

namespace flashwire {

inline constexpr uint32_t PC_SYNC = FourCC("sync");      // host: resynchronise (raw, no frame)
inline constexpr uint32_t BL_SYNC_ACK = FourCC("-()-");  // phone: answer to "sync"
inline constexpr uint32_t PC_INFO = FourCC("info");
inline constexpr uint32_t PC_DATA = FourCC("data");
inline constexpr uint32_t PC_DONE = FourCC("done");
inline constexpr uint32_t PC_EOM = FourCC("(pc)");  // end of every command frame
inline constexpr uint32_t BL_RESP = FourCC("resp");  // start of a reply
inline constexpr uint32_t BL_OK = FourCC("+ok+");
inline constexpr uint32_t BL_NACK = FourCC("nack");
inline constexpr uint32_t BL_EOM = FourCC("(hw)");  // end of every reply

}  // namespace flashwire
