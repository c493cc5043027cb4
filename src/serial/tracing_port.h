// A serial port that tells the wire trace what passes through it: the port
// the system opened, wrapped while a trace file is set on the handle.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace flashwire {

struct Session;

// Wraps the port that the logical port `port` opened on the system's port
// number portNumber so that ctx.trace records its traffic; without a trace
// the port comes back as it is. Records the opening.
std::unique_ptr<platform::SerialPort> TracePort(Session& ctx, uint32_t port, uint32_t portNumber,
                                                std::unique_ptr<platform::SerialPort> opened);

// Records a port that could not be opened (nothing without a trace).
void TraceOpenFailure(Session& ctx, uint32_t port, uint32_t portNumber, uint32_t systemError);

}  // namespace flashwire
