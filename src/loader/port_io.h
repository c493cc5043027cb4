// Whole reads and writes of the flash loader exchange on one port.
#pragma once

#include <cstdint>

#include "wire/le32.h"
#include "state/job_state.h"
#include "serial/com_port.h"

namespace flashwire {

// True when all count bytes went out.
inline bool WriteAll(JobState& ctx, uint32_t port, const uint8_t* data, uint32_t count) {
    uint32_t sent = 0;
    return ComWrite(ctx, port, data, count, sent) && sent == count;
}

inline bool WriteLe32(JobState& ctx, uint32_t port, uint32_t value) {
    uint8_t bytes[4];
    StoreLe32(value, bytes);
    return WriteAll(ctx, port, bytes, 4);
}

// True when all count bytes arrived within the port's read time-out.
inline bool ReadExactly(JobState& ctx, uint32_t port, uint8_t* buffer, uint32_t count) {
    uint32_t received = 0;
    return ComRead(ctx, port, buffer, count, received) && received == count;
}

inline bool ReadLe32(JobState& ctx, uint32_t port, uint32_t& value) {
    uint8_t bytes[4];
    if (!ReadExactly(ctx, port, bytes, 4)) return false;
    value = LoadLe32(bytes);
    return true;
}

}  // namespace flashwire
