// Four-character codes of the flash loader exchange, in wire order.
#pragma once

#include <cstdint>

#include "wire/four_cc.h"

namespace flashwire {

// Host to flash loader.
inline constexpr uint32_t FL_EOT = FourCC("EOT.");       // end marker of every command frame
inline constexpr uint32_t FL_CMD_SYNC = FourCC("SYNC");  // resynchronise (raw, no frame)
inline constexpr uint32_t FL_CMD_INFO = FourCC("INFO");
inline constexpr uint32_t FL_CMD_CHKC = FourCC("CHKC");
inline constexpr uint32_t FL_CMD_BAUD = FourCC("BAUD");
inline constexpr uint32_t FL_CMD_SETP = FourCC("SETP");
inline constexpr uint32_t FL_CMD_OPEN = FourCC("OPEN");
inline constexpr uint32_t FL_CMD_TXDT = FourCC("TXDT");  // frame followed by raw data streams
inline constexpr uint32_t FL_CMD_ERAS = FourCC("ERAS");
inline constexpr uint32_t FL_CMD_CLOS = FourCC("CLOS");
inline constexpr uint32_t FL_CMD_VRFY = FourCC("VRFY");
inline constexpr uint32_t FL_CMD_SUCK = FourCC("SUCK");
inline constexpr uint32_t FL_CMD_DONE = FourCC("DONE");

// Flash loader to host.
inline constexpr uint32_t FL_SYNC_ACK = FourCC("syn!");
inline constexpr uint32_t FL_REPLY = FourCC("rply");
inline constexpr uint32_t FL_OK = FourCC("+ok!");
inline constexpr uint32_t FL_ERR = FourCC("-err");
inline constexpr uint32_t FL_EOM = FourCC("eom.");
inline constexpr uint32_t FL_MSG = FourCC("*msg");
inline constexpr uint32_t FL_MSG_END = FourCC("msg.");
inline constexpr uint32_t FL_DUMP = FourCC("*dmp");
inline constexpr uint32_t FL_DUMP_END = FourCC("dmp.");

// The time-out each command's sender passes to the exchange, in ms.
inline constexpr uint32_t kInfoTimeoutMs = 3000;
inline constexpr uint32_t kCheckConnectionTimeoutMs = 3000;
inline constexpr uint32_t kBaudTimeoutMs = 3000;
inline constexpr uint32_t kSetupTimeoutMs = 3000;
inline constexpr uint32_t kOpenTimeoutMs = 5000;
inline constexpr uint32_t kTransferTimeoutMs = 20000;
inline constexpr uint32_t kEraseTimeoutMs = 3000;
inline constexpr uint32_t kCloseTimeoutMs = 30000;
inline constexpr uint32_t kVerifyTimeoutMs = 3000;
inline constexpr uint32_t kSuckTimeoutMs = 10000;
inline constexpr uint32_t kDoneTimeoutMs = 3000;

// The payload of a "-err" reply: the loader's error code and four values.
inline constexpr uint32_t kErrorRecordSize = 20;

}  // namespace flashwire
