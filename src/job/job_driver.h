// The job driver: settles the ports, checks the system, prepares the job
// (ranges, platform, buffers, ports and their speeds, files) and runs the
// loader phase and the flash-loader phase, then reports the outcome.
#pragma once

#include <cstdint>

#include "job/context.h"

namespace flashwire {

// The whole job on the calling thread: "All is well !" or "Sorry, an error
// has occured ! (<name>)" as message and status. Returns the job's code.
// Expects the job state reset before (ResetJobState, job/thread_protocol.h):
// protocolCause 100 tells that no step stored a more precise code.
uint32_t DriveJob(FlashContext& ctx);

// Preparation and both phases; closes the ports and releases the buffers on
// every way out once they were acquired.
uint32_t RunJob(FlashContext& ctx);

// Reads the plan's platform section from the data directory's "platform.def"
// into ctx.platform and places the image list's buffers.
bool ReadJobPlatform(FlashContext& ctx);

// Sets legacyOs, overlappedIo and (on a legacy system) one port only.
void CheckOperatingSystem(FlashContext& ctx);

}  // namespace flashwire
