// The connection test of a further port ("CHKC") and the baud-rate switch
// of a port ("BAUD"). Both commands travel on the command port; each has a
// fixed retry of its own (two tries, whatever /noretry says).
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kCheckConnectionWord = 0x12345678;
// After a switch the host waits this long before it talks again.
inline constexpr uint32_t kBaudSettleMs = 750;

// One "CHKC" exchange (the test word) for port.
uint32_t CheckConnection(JobState& ctx, uint32_t port);
// "CHKC" with one retry after a resynchronisation, then the UART probe of
// port, which sets its uartNumber (0xFFFF while unanswered). SUCCESS,
// ERR_TOO_MANY_RETRIES, ERR_PROTOCOL (the resynchronisation failed),
// ERR_TIMEOUT (no probe answer in 5000 ms) or ERR_ABORT.
uint32_t CheckConnectionWithRetries(JobState& ctx, uint32_t port);

// One "BAUD" exchange: port's uartNumber and the new rate.
uint32_t BaudRate(JobState& ctx, uint32_t port, uint32_t baud);
// "BAUD" with one retry, then the PC side of port (ERR_COM when refused),
// the rate stored as that port's currentBaud, 750 ms of settling and,
// when port is the command port, a resynchronisation at the new rate.
uint32_t BaudRateWithRetries(JobState& ctx, uint32_t commandPort, uint32_t port, uint32_t baud);

}  // namespace flashwire
