// Names of the error codes.
#pragma once

#include <cstdint>

#include "session/session.h"

namespace flashwire {

// Writes the name of code (or "Unknown error: N") into buffer and returns it.
// With a null buffer a per-thread buffer of the library is used; it stays
// valid until the calling thread's next such call.
const char* ErrorName(uint32_t code, char* buffer);

// Reports "Error code: <name>" at level 0.
void ReportErrorCode(Session& ctx, uint32_t code);

}  // namespace flashwire
