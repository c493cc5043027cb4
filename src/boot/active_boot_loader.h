// The active boot loader: the phone announces itself with 'O', the host
// answers with the rate pattern and, after 'K', 'r' 'r'; the phone confirms
// with 'Z' 'E' and takes the flash loader as RAM blocks.
#pragma once

#include <cstdint>

#include "state/job_state.h"

namespace flashwire {

// The five-state handshake, then LoadRamBlocks. Every pass honours the abort
// request (ERR_ABORT); with the unattended option the wait for 'Z' ends after
// 100 reads with ERR_PROTOCOL.
uint32_t TalkToActiveBootloader(JobState& ctx);

}  // namespace flashwire
