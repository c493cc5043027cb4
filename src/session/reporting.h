// Reporting to the host: message lines, debug lines, status texts, progress
// and the abort flag. Outside a job these reach the host's callbacks at once;
// while a job runs (queueMode) they go through the session's MessageRing and
// the dispatcher delivers them.
#pragma once

#include <cstdint>

#include "session/session.h"

#define FLASHWIRE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

namespace flashwire {

// Formatted lines are cut at this many characters.
inline constexpr std::size_t kMaxLineLength = 259;

void ReportMessage(Session& session, int level, const char* format, ...) FLASHWIRE_PRINTF(3, 4);
void ReportDebug(Session& session, const char* format, ...) FLASHWIRE_PRINTF(2, 3);
// Sends text as it stands (never used as a format).
void ReportText(Session& session, int level, const char* text);
void ReportDebugText(Session& session, const char* text);
void ReportStatus(Session& session, const char* text);

bool IsAbortRequested(Session& session);

// While queueMode is set: wakes the dispatcher and waits, at most 15000 ms,
// until it has emptied the ring. Otherwise does nothing.
void FlushToHost(Session& session);

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
void EnqueueRecord(Session& session, RecordKind kind, uint32_t arg1, uint32_t arg2, const char* text);
bool DeliverOneRecord(Session& session);

}  // namespace flashwire
