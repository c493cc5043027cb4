// The three jobs the flash loader carries out once it is running and
// identified: flash the image, verify the phone against it, read ranges back.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

// Writes the image list's ranges (or, with /eraseunused, the whole flash but
// the reserved ranges) sector by sector; with /diff only the sectors whose
// contents differ. SUCCESS (whatever "DONE" answers), or the first failing
// code: ERR_RANGE_OUTSIDE_FLASH, ERR_UNKNOWN, ERR_TOO_MANY_RETRIES,
// ERR_PROTOCOL, ERR_ABORT, ...
uint32_t RunFlashJob(JobState& ctx);

// Compares the image list's ranges with the phone in 64 KiB blocks by CRC-32;
// ERR_VERIFY_DIFFERENCE at the first block that differs.
uint32_t RunVerifyJob(JobState& ctx);

// Reads the /read ranges into the image list's buffers and saves them to
// the save file; nothing is saved when a read fails.
uint32_t RunReadJob(JobState& ctx);

// The block sizes of the jobs for the command port's rate and the loader's limits.
uint32_t WriteBlockSize(const JobState& ctx);
uint32_t ReadBlockSize(const JobState& ctx);

}  // namespace flashwire
