// The COM port layer: every other part reaches the serial ports only through
// these operations and the context's port records. `port` is the logical
// port index (0 or 1).
#pragma once

#include <cstdint>

namespace flashwire {

struct Session;

// Port numbers are zero-based (0 = "COM1"); kComPortCount and above mean no port.
inline constexpr uint32_t kComPortCount = 12;
// Plain writes go out in pieces of at most this many bytes.
inline constexpr uint32_t kComWritePiece = 4096;
// ComFlushInput gives up after discarding this many bytes (a line that never
// goes quiet).
inline constexpr uint32_t kComFlushLimit = 1024 * 1024;

// The port names for messages, each in a fixed field of 6 characters.
extern const char ComPortNames[kComPortCount][6];

// "COM1" .. "COM12" by zero-based port number; numbers 12 and above give "COM?".
const char* ComPortName(uint32_t portNumber);

bool ComOpen(Session& ctx, uint32_t port, uint32_t portNumber, uint32_t baud, uint32_t timeoutMs);
bool ComSetBaudRate(Session& ctx, uint32_t port, uint32_t baud);
// Returns the read time-out that was set before.
uint32_t ComSetTimeout(Session& ctx, uint32_t port, uint32_t timeoutMs);
void ComSetNonBlocking(Session& ctx, uint32_t port, bool on);
// Reads and discards one byte at a time until a read brings none.
bool ComFlushInput(Session& ctx, uint32_t port);
bool ComRead(Session& ctx, uint32_t port, uint8_t* buffer, uint32_t count, uint32_t& received);
bool ComWrite(Session& ctx, uint32_t port, const uint8_t* buffer, uint32_t count, uint32_t& sent);
void ComClose(Session& ctx, uint32_t port);
void ComCloseAll(Session& ctx);
// Writes the end byte 'o' on the active port: 0 or ERR_PROTOCOL.
uint32_t SendFinishByte(Session& ctx);

}  // namespace flashwire
