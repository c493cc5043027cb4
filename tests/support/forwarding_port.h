// A serial port that wraps another and forwards every call to it, as the
// tests' watching wrappers do; AfterWait runs after each call that may take
// time (reads, writes, a write's wait, draining).
#pragma once

#include <memory>
#include <span>
#include <utility>

#include "platform/platform.h"

namespace flashwire::test_support {

class ForwardingPort : public platform::SerialPort {
public:
    explicit ForwardingPort(std::unique_ptr<platform::SerialPort> inner) : inner_(std::move(inner)) {}

    bool GetSettings(platform::LineSettings& out) override { return inner_->GetSettings(out); }
    bool SetSettings(const platform::LineSettings& settings) override {
        return inner_->SetSettings(settings);
    }
    bool GetTimeouts(platform::CommTimeouts& out) override { return inner_->GetTimeouts(out); }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        return inner_->SetTimeouts(timeouts);
    }
    bool Read(std::span<uint8_t> buffer, uint32_t& received) override {
        const bool ok = inner_->Read(buffer, received);
        AfterWait();
        return ok;
    }
    bool Write(std::span<const uint8_t> data, uint32_t& sent) override {
        const bool ok = inner_->Write(data, sent);
        AfterWait();
        return ok;
    }
    bool BeginWrite(std::span<const uint8_t> data) override { return inner_->BeginWrite(data); }
    platform::WriteStatus PollWrite(uint32_t waitMs, uint32_t& sent) override {
        const platform::WriteStatus status = inner_->PollWrite(waitMs, sent);
        AfterWait();
        return status;
    }
    bool Drain() override {
        const bool ok = inner_->Drain();
        AfterWait();
        return ok;
    }
    uint32_t LastError() const override { return inner_->LastError(); }

protected:
    virtual void AfterWait() {}

private:
    std::unique_ptr<platform::SerialPort> inner_;
};

}  // namespace flashwire::test_support
