#include "serial/tracing_port.h"

#include <algorithm>

#include "session/session.h"
#include "session/reporting.h"
#include "serial/com_port.h"
#include "trace/wire_trace.h"

namespace flashwire {
namespace {

class TracingSerialPort final : public platform::SerialPort {
public:
    TracingSerialPort(Session& ctx, std::shared_ptr<WireTrace> trace, uint32_t port,
                      std::unique_ptr<platform::SerialPort> inner)
        : ctx_(ctx), trace_(std::move(trace)), port_(port), inner_(std::move(inner)) {}

    ~TracingSerialPort() override {
        // The system's port closes first, then the trace says so.
        inner_.reset();
        trace_->Closed(port_);
        ReportFailure();
    }
    TracingSerialPort(const TracingSerialPort&) = delete;
    TracingSerialPort& operator=(const TracingSerialPort&) = delete;

    bool GetSettings(platform::LineSettings& out) override { return inner_->GetSettings(out); }
    bool SetSettings(const platform::LineSettings& settings) override {
        const bool ok = inner_->SetSettings(settings);
        trace_->Settings(port_, settings, ok);
        return ok;
    }
    bool GetTimeouts(platform::CommTimeouts& out) override { return inner_->GetTimeouts(out); }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        const bool ok = inner_->SetTimeouts(timeouts);
        if (ok) timeouts_ = timeouts;
        trace_->Timeouts(port_, timeouts);
        return ok;
    }

    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        received = 0;
        const bool ok = inner_->Read(buffer, received);
        const uint32_t got = std::min<uint32_t>(received, static_cast<uint32_t>(buffer.size()));
        trace_->Data(port_, TraceDirection::Read, buffer.first(got));
        const auto wanted = static_cast<uint32_t>(buffer.size());
        if (!ok) {
            trace_->Failed(port_, "read", got, wanted, inner_->LastError());
        } else if (got < wanted && !NonBlocking()) {
            trace_->TimedOut(port_, wanted, got, timeouts_.readTotalMultiplier * wanted + timeouts_.readTotalConstant);
            ReportFailure();
        }
        return ok;
    }

    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        sent = 0;
        const bool ok = inner_->Write(data, sent);
        const uint32_t done = std::min<uint32_t>(sent, static_cast<uint32_t>(data.size()));
        trace_->Data(port_, TraceDirection::Write, data.first(done));
        if (!ok) trace_->Failed(port_, "write", done, static_cast<uint32_t>(data.size()), inner_->LastError());
        return ok;
    }

    bool BeginWrite(std::span<const uint8_t> data) override {
        const bool ok = inner_->BeginWrite(data);
        if (ok) {
            writing_ = data;
            traced_ = 0;
        } else {
            trace_->Failed(port_, "write", 0, static_cast<uint32_t>(data.size()), inner_->LastError());
        }
        return ok;
    }

    platform::WriteStatus PollWrite(uint32_t waitMs, uint32_t& sent) override {
        const platform::WriteStatus status = inner_->PollWrite(waitMs, sent);
        // The bytes that went out since the last look.
        const std::size_t upTo = std::min<std::size_t>(sent, writing_.size());
        if (upTo > traced_) {
            trace_->Data(port_, TraceDirection::Write, writing_.subspan(traced_, upTo - traced_));
            traced_ = upTo;
        }
        if (status == platform::WriteStatus::Failed && !writing_.empty()) {
            trace_->Failed(port_, "write", static_cast<uint32_t>(upTo), static_cast<uint32_t>(writing_.size()),
                           inner_->LastError());
        }
        if (status != platform::WriteStatus::Pending) writing_ = {};
        return status;
    }

    bool Drain() override { return inner_->Drain(); }
    uint32_t LastError() const override { return inner_->LastError(); }

private:
    bool NonBlocking() const {
        return timeouts_.readInterval == 0xFFFFFFFFu && timeouts_.readTotalMultiplier == 0 &&
               timeouts_.readTotalConstant == 0;
    }
    // Tells the host once that the trace file could not be written.
    void ReportFailure() {
        if (!trace_->TakeFailureReport()) return;
        ReportMessage(ctx_, 1, "Warning: the wire trace stopped, %s could not be written (%s)", trace_->path().c_str(),
                      platform::SystemErrorText(trace_->error()).c_str());
    }

    Session& ctx_;
    std::shared_ptr<WireTrace> trace_;
    uint32_t port_;
    std::unique_ptr<platform::SerialPort> inner_;
    platform::CommTimeouts timeouts_{};
    std::span<const uint8_t> writing_;
    std::size_t traced_ = 0;
};

}  // namespace

std::unique_ptr<platform::SerialPort> TracePort(Session& ctx, uint32_t port, uint32_t portNumber,
                                                std::unique_ptr<platform::SerialPort> opened) {
    if (ctx.trace == nullptr || opened == nullptr) return opened;
    ctx.trace->Opened(port, ComPortName(portNumber), platform::MappedSerialDevice(portNumber));
    return std::make_unique<TracingSerialPort>(ctx, ctx.trace, port, std::move(opened));
}

void TraceOpenFailure(Session& ctx, uint32_t port, uint32_t portNumber, uint32_t systemError) {
    if (ctx.trace != nullptr) ctx.trace->OpenFailed(port, ComPortName(portNumber), systemError);
}

}  // namespace flashwire
