// The flash loader commands of the jobs and their retry rules: "SETP",
// "OPEN", "TXDT", "ERAS", "CLOS", "VRFY" and "DONE".
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "state/job_state.h"

namespace flashwire {

inline constexpr uint32_t kDefaultTries = 5;
// Blocks of more than this many bytes are split over the ports.
inline constexpr uint32_t kSingleStreamLimit = 512;
inline constexpr uint32_t kCompareBlock = 0x10000;

// Tries of every retried operation: 5, or 1 with /noretry (the loops read
// 0 as "no retry").
uint32_t MaxTries(const JobState& ctx);

// "SETP": erase passes and the chip table. Logs "Setup".
uint32_t Setup(JobState& ctx);
// "DONE". Logs "Done". Callers ignore its result.
uint32_t Done(JobState& ctx);

uint32_t OpenSector(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length,
                    uint8_t flags);
// "TXDT" for [address, address + length), which must lie in one image list
// buffer (ERR_RANGE_OUTSIDE_FLASH otherwise, nothing sent), streamed over the
// ports by their shares.
uint32_t SendData(JobState& ctx, uint32_t address, uint32_t length);
uint32_t EraseSector(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length);
uint32_t CloseSector(JobState& ctx, uint32_t chip, uint32_t sector);

// The same with retries: up to MaxTries tries, each retry after a
// resynchronisation. ERR_TOO_MANY_RETRIES when all failed, ERR_PROTOCOL when
// a resynchronisation failed, ERR_ABORT.
uint32_t OpenSectorWithRetries(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length,
                               uint8_t flags);
uint32_t SendDataWithRetries(JobState& ctx, uint32_t address, uint32_t length);
uint32_t EraseSectorWithRetries(JobState& ctx, uint32_t chip, uint32_t sector, uint32_t first, uint32_t length);
uint32_t CloseSectorWithRetries(JobState& ctx, uint32_t chip, uint32_t sector);

// "VRFY" of [address, address + length) against the image's CRC-32. SUCCESS,
// ERR_VERIFY_DIFFERENCE (a level-1 line with report, else level 0, phone's
// CRC first), ERR_RANGE_OUTSIDE_FLASH when the block leaves its image buffer,
// or the exchange's code.
uint32_t VerifyData(JobState& ctx, uint32_t address, uint32_t length, bool report);
// VerifyData with retries (at least one try); a difference is not retried.
uint32_t CompareWithRetries(JobState& ctx, uint32_t address, uint32_t length, bool report);

// The length of a block starting at address, at most want bytes, cut at the
// end of the image list buffer that holds address. 0 (and a level-2 line
// naming the address) when no buffer holds it.
uint32_t BlockInBuffer(JobState& ctx, uint32_t address, uint32_t want);

// True when every address of the ranges lies in an image list buffer;
// otherwise a level-2 line names the first address that does not. The jobs
// check their whole plan before "SETP", so a job never stops half-way for it.
bool CheckInsideBuffers(JobState& ctx, const AddressRange* ranges, uint32_t count);

struct RetryRules {
    // After the first failure an abort request ends the retries (ERR_ABORT).
    bool abortEndsRetries = true;
};

// The jobs' retry pattern: the operation, then up to MaxTries - 1 retries,
// each logged as "Retry <n>: <name>" and preceded by a resynchronisation.
// SUCCESS and ERR_ABORT end it at once, as does ERR_RANGE_OUTSIDE_FLASH (the
// host's own fault); a resynchronisation ended by an abort request gives
// ERR_ABORT, one that failed otherwise "Failed to sync" and ERR_PROTOCOL; all
// tries failed: "Giving up on <name>" and ERR_TOO_MANY_RETRIES.
uint32_t RetryWithSync(JobState& ctx, const char* name, RetryRules rules,
                       const std::function<uint32_t()>& operation);

// "SETP" with the verify and read jobs' retries.
uint32_t SetupWithSyncRetries(JobState& ctx);

// Cuts the ranges into blocks of at most blockSize bytes, each ending at the
// end of the image buffer that holds its start, and runs block on each in
// order, updating the progress with the running count. The first code other
// than SUCCESS ends the walk; an address in no buffer gives
// ERR_RANGE_OUTSIDE_FLASH.
uint32_t ForEachBlock(JobState& ctx, std::span<const AddressRange> ranges, uint32_t blockSize,
                      const std::function<uint32_t(uint32_t address, uint32_t length)>& block);

}  // namespace flashwire
