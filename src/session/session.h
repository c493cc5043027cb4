// Session: what every layer of a job shares, from the port layer up to the
// job driver: the host's handle and the system's services, the message ring
// with its events and queue mode, the abort flag, progress, the debug switch,
// the port set and the priority stack. The leaf modules (image, catalog,
// serial, wire) take a Session and their own records; the phases' JobState
// (state/job_state.h) builds on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "flashwire/flash_api.h"
#include "platform/platform.h"
#include "session/port_record.h"
#include "session/message_ring.h"
#include "session/priority_stack.h"
#include "session/progress.h"

namespace flashwire {

class WireTrace;

struct Session {
    // Identity and services.
    FlashHandle* handle = nullptr;
    platform::Services services{};

    // Debug lines are sent only while set (the job's /debug switch).
    bool debug = false;

    // Ports.
    bool legacyOs = false;
    bool overlappedIo = false;
    uint32_t portCount = 0;
    uint32_t activePort = 0;
    PortRecord ports[2];
    // The wire trace of the handle's jobs (FlashSetTraceFile); null: none.
    std::shared_ptr<WireTrace> trace;

    // Reporting while a job runs: records go through the ring and the
    // dispatcher delivers them (job/thread_protocol.h tells who touches what).
    std::atomic<bool> queueMode{false};
    std::atomic<bool> abortRequested{false};
    std::unique_ptr<platform::Event> dataEvent;
    std::unique_ptr<platform::Event> drainedEvent;
    MessageRing ring;

    PriorityStack priorityStack{};
    uint32_t progressTotal = 1;
    uint32_t progressDone = 0;
    uint32_t progressPercent = 0;

    platform::Clock& clock() { return *services.clock; }
    // Files go through the platform layer like ports and time.
    platform::FileSystem& files() { return services.files ? *services.files : platform::StandardFiles(); }
};

}  // namespace flashwire
