// Writing a loader image into the phone's RAM through the passive boot
// loader or the setup loader: one "data" command per chunk, then "done".
#pragma once

#include <cstdint>
#include <string_view>

#include "state/job_state.h"

namespace flashwire {

// The largest chunk one "data" command carries, whatever the phone offers.
inline constexpr uint32_t kMaxDataChunk = 64 * 1024;

// Sends every range of the list (the byte for phone address a lies at offset
// a - base of buffer 0) in chunks of at most chunkSize bytes, 5 attempts per
// chunk with "sync" after each failed one, then "done" (5 attempts). Each
// range's progress reads "Loading <label> (k/n) ...". A range outside the
// buffer is refused with ERR_BAD_SREC_ADDR, an empty image or a chunk size of
// 0 with ERR_BAD_PLATFORM, before anything is sent.
uint32_t LoadLoaderImage(JobState& ctx, const RegionList& list, uint32_t base,
                         uint32_t chunkSize, std::string_view label);

}  // namespace flashwire
