// Byte counts as text for messages.
#include "catalog/size_text.h"

#include <cstdio>

namespace flashwire {

const char* SizeText(uint32_t byteCount) {
    // Three buffers per thread, taken in turn: three results fit in one message.
    thread_local char buffers[3][50];
    thread_local unsigned next = 0;
    char* text = buffers[next];
    next = (next + 1) % 3;

    const unsigned long count = byteCount;
    if (byteCount < 8192u) {
        std::snprintf(text, sizeof buffers[0], "%lu Bytes", count);
    } else if (byteCount < 0x800000u) {
        std::snprintf(text, sizeof buffers[0], "%lu KB (%lu Bytes)", count >> 10, count);
    } else {
        std::snprintf(text, sizeof buffers[0], "%lu MB (%lu Bytes)", count >> 20, count);
    }
    return text;
}

}  // namespace flashwire
