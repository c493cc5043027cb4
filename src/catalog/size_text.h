// Byte counts as text for messages.
#pragma once

#include <cstdint>

namespace flashwire {

// "%lu Bytes", "%lu KB (%lu Bytes)" or "%lu MB (%lu Bytes)". The text lies in
// one of three per-thread buffers taken in turn, so three results can be used
// in one message.
const char* SizeText(uint32_t byteCount);

}  // namespace flashwire
