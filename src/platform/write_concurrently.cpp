// Streams on several ports at once, driven through the ports' own write
// steps (BeginWrite, PollWrite), whatever provider or wrapper they come from.
#include <vector>

#include "platform/platform.h"

namespace flashwire::platform {
namespace {

enum class Phase : uint8_t { Queued, Running, Ended };

class ConcurrentWrite {
public:
    explicit ConcurrentWrite(std::span<StreamWrite> writes)
        : writes_(writes), phase_(writes.size(), Phase::Queued) {
        for (std::size_t i = 0; i < writes_.size(); ++i) {
            writes_[i].sent = 0;
            writes_[i].ok = false;
            if (writes_[i].port == nullptr) phase_[i] = Phase::Ended;
        }
    }

    void Run() {
        // Every port's first stream begins before any wait.
        for (std::size_t i = 0; i < writes_.size(); ++i) {
            if (phase_[i] == Phase::Queued && !PortBusy(writes_[i].port)) Begin(i);
        }
        for (;;) {
            std::size_t running = 0;
            for (Phase p : phase_) running += p == Phase::Running ? 1 : 0;
            if (running == 0) return;
            const uint32_t waitMs = running > 1 ? kStreamWaitSliceMs : kInfinite;
            for (std::size_t i = 0; i < writes_.size(); ++i) {
                if (phase_[i] != Phase::Running) continue;
                StreamWrite& w = writes_[i];
                const WriteStatus status = w.port->PollWrite(waitMs, w.sent);
                if (status == WriteStatus::Pending) continue;
                w.ok = status == WriteStatus::Done;
                phase_[i] = Phase::Ended;
                BeginNextOf(w.port);
            }
        }
    }

private:
    bool PortBusy(const SerialPort* port) const {
        for (std::size_t i = 0; i < writes_.size(); ++i) {
            if (writes_[i].port == port && phase_[i] == Phase::Running) return true;
        }
        return false;
    }

    void Begin(std::size_t i) {
        StreamWrite& w = writes_[i];
        phase_[i] = w.port->BeginWrite(w.data) ? Phase::Running : Phase::Ended;
    }

    // The port's next queued stream begins as soon as its previous one ended.
    void BeginNextOf(const SerialPort* port) {
        for (std::size_t i = 0; i < writes_.size(); ++i) {
            if (phase_[i] != Phase::Queued || writes_[i].port != port) continue;
            Begin(i);
            if (phase_[i] == Phase::Running) return;
        }
    }

    std::span<StreamWrite> writes_;
    std::vector<Phase> phase_;
};

}  // namespace

void SerialProvider::WriteConcurrently(std::span<StreamWrite> writes) { ConcurrentWrite(writes).Run(); }

}  // namespace flashwire::platform
