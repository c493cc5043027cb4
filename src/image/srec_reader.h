// Loading Motorola S-record files into a region list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "flashwire/flash_api.h"

#include "image/memory_region.h"

namespace flashwire {

struct Session;

// Longest line, its line end included; longer lines are refused.
inline constexpr std::size_t kMaxSRecordLine = 127;

// True if the file opens for reading; otherwise reports
// "Error: Unable to open file" (level 1) and returns false.
bool CheckFileReadable(Session& session, const char* path);

// Loads the S-record file at path into the (allocated) buffers of list and
// builds its table of loaded ranges. With rangeCheck, data touching a
// reserved range of the options is refused. Returns 0 or ERR_FILEIO,
// ERR_ABORT, ERR_BAD_SREC_FILE, ERR_BAD_SREC_ADDR, ERR_BAD_SREC_CHECKSUM,
// ERR_TOO_MANY_RANGES (ERR_NOMEM when the list has a buffer not allocated).
uint32_t LoadSRecordFile(Session& session, RegionList& list, const char* path, bool rangeCheck,
                         std::span<const AddressRange> reserved = {});

}  // namespace flashwire
