// Saving the /read ranges of a region list as an S-record file.
#pragma once

#include <cstdint>
#include <span>

#include "flashwire/flash_api.h"

#include "image/memory_region.h"

namespace flashwire {

struct Session;

// Writes the /read ranges of the options, in their order, from the buffers of
// list to the options' saveFile as S3 records of at most 16 bytes, between the
// header line "S00600004844521B" and the termination line "S705A002000058".
// Every range must lie in the buffers (a range may cross from one buffer into
// the next when they touch); otherwise nothing is written. Returns 0,
// ERR_WRONG_FILE_SAVE or ERR_ABORT; a file begun and then cut short by an
// abort or a failed write is removed (when it is a regular file), so no
// incomplete file is left that could be taken for the phone's memory.
uint32_t WriteSRecordFile(Session& session, RegionList& list, std::span<const AddressRange> readRanges,
                          const char* saveFile);

// True when saveFile can be written: an existing file is opened
// for appending (its contents stay as they are), a new one is created and
// removed again. Otherwise a level-2 line names the path and the system's
// reason and the result is false. A read job asks this before it touches the
// phone, so a long read is never lost for want of a place to save it.
bool CheckSaveFileWritable(Session& session, const char* saveFile);

}  // namespace flashwire
