// Reporting to the host: message lines, debug lines, status texts, progress
// and the abort flag. Outside a job these reach the host's callbacks at once;
// while a job runs (queueMode) they go through the context's MessageRing and
// the dispatcher delivers them.
#pragma once

#include <cstdint>

#include "job/context.h"

#define FLASHWIRE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

namespace flashwire {

// Formatted lines are cut at this many characters.
inline constexpr std::size_t kMaxLineLength = 259;

enum class RecordKind : uint32_t { Filler = 0, Message = 1, ProgressBegin = 2, ProgressUpdate = 3, Status = 4, ProgressEnd = 5 };

void ReportMessage(FlashContext& ctx, int level, const char* format, ...) FLASHWIRE_PRINTF(3, 4);
void ReportDebug(FlashContext& ctx, const char* format, ...) FLASHWIRE_PRINTF(2, 3);
// Sends text as it stands (never used as a format).
void ReportText(FlashContext& ctx, int level, const char* text);
void ReportDebugText(FlashContext& ctx, const char* text);
void ReportStatus(FlashContext& ctx, const char* text);

void ProgressBegin(FlashContext& ctx, const char* text, uint32_t total);
void ProgressUpdate(FlashContext& ctx, uint32_t done);
void ProgressAdvance(FlashContext& ctx, uint32_t n);
void ProgressEnd(FlashContext& ctx);

bool IsAbortRequested(FlashContext& ctx);

// While queueMode is set: wakes the dispatcher and waits, at most 15000 ms,
// until it has emptied the ring. Otherwise does nothing.
void FlushToHost(FlashContext& ctx);

// The two halves of the ring. EnqueueRecord stores one record: arg1 and arg2
// are the record's first and second arguments (level and nothing for a
// message, total for a progress begin, done and percent for an update); text
// (cut at kMaxLineLength, may be null for kinds without text) is copied into
// the ring. A producer that finds the ring full waits for the dispatcher up to
// the ring's flushTimeoutMs; if there is still no room the record is dropped
// (undelivered records are never overwritten) and the next record that fits
// is followed by a line that tells how many were dropped.
// DeliverOneRecord hands the oldest record to the host and returns false when
// the ring was empty; only the dispatcher calls it.
void EnqueueRecord(FlashContext& ctx, RecordKind kind, uint32_t arg1, uint32_t arg2, const char* text);
bool DeliverOneRecord(FlashContext& ctx);

}  // namespace flashwire
