// Job start and the job's worker threads.
//
// ThreadProtocol runs one job on two threads of the context's Threading and
// waits for it on the calling thread:
//  - the protocol thread runs the whole job (DriveJob): it alone touches the
//    ports, the image buffers and the platform, produces every report of the
//    job and reads abortRequested;
//  - the dispatcher (RunDispatcher, job/dispatcher.h) alone calls the host's
//    callbacks while the job runs: it consumes the message ring and writes
//    abortRequested;
//  - the calling thread only starts them, waits and shuts them down; it sets
//    queueMode before they start and clears it after the protocol thread has
//    ended, and reports "ThreadProtocol: <code>" (still queued) in between.
//
// Forced end of the dispatcher. A dispatcher that has not ended
// dispatcherStopTimeoutMs (10000 ms) after the shutdown signal is held up in
// a host callback. Ending a thread from outside is not offered by the
// platform layer (POSIX has no safe way: the thread may hold a lock or be
// anywhere in the host's code), so the dispatcher is given up instead:
// dispatcherAbandoned is set, dispatcherExitCode becomes kForcedExitCode
// (999) and ThreadProtocol returns the job's code. The given-up thread is
// left to return from the callback under way; it then starts no further
// callback and ends. Nothing it may still touch is released before it has
// ended:
//  - the context keeps its thread handle, the two events and the ring, and a
//    further job on the context is refused with ERR_SETUP until the thread
//    has ended (two threads would otherwise call the host at once);
//  - the thread holds a share of the context (RetainContext), so a handle
//    released meanwhile (FlashFinish) leaves the context alive until the
//    thread ends, which then releases it. A context that InitHandle did not
//    create (tests) must itself outlive such a thread.
// A callback that was already under way when the dispatcher was given up may
// thus still run after FlashLoad returned; no other one starts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "job/context.h"

namespace flashwire {

inline constexpr std::size_t kProtocolThreadStack = 256 * 1024;
inline constexpr std::size_t kDispatcherThreadStack = 16 * 1024;

// Puts the job members back to their state before a job: protocolCause 100
// (ERR_UNKNOWN), the three region lists empty, no flash definitions, the port
// records' read time-out and non-blocking mode cleared, the priority stack
// empty and no progress phase. ThreadProtocol starts every job with it; a
// test that runs DriveJob on its own thread calls it first.
void ResetJobState(FlashContext& ctx);

// Runs one job with the options already in ctx.options (see above) and
// returns its code: 0, the job's error code, or ERR_SETUP when an event or a
// thread could not be created (no job ran) or when the dispatcher given up at
// the end of an earlier job has not ended yet (nothing changed). Every event
// and thread it created is closed, the image buffers are released and the
// ports closed before it returns (except what a given-up dispatcher may
// still use, see above).
uint32_t ThreadProtocol(FlashContext& ctx);

}  // namespace flashwire
