// The passive boot ROM and the setup loader: both are woken by '?' pings
// (each answered with '!'), synchronised with '#', and then take framed
// "info", "data" and "done" commands (and the raw "sync"), answering with
// "resp" frames. They differ in their "info" answer, the UART they listen on
// and the largest "data" they take; "done" starts what was loaded.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/frame_codec.h"
#include "sim/loader_image.h"
#include "sim/program.h"

namespace flashwire::sim {

struct PassiveLoaderSetup {
    Stage stage = Stage::PassiveBootRom;
    unsigned uart = 0;
    std::vector<uint8_t> info;      // the "info" answer's payload
    uint32_t maxTransferSize = 0;   // largest "data" block (bytes of image)
    uint64_t listenWindowUs = 0;    // pings answered only this long after start (0: always)
};

// The "info" answers of the two programs.
PassiveLoaderSetup PassiveBootRomSetup(const PhoneConfig& config);
PassiveLoaderSetup SetupLoaderSetup(const PhoneConfig& config);

class PassiveLoader final : public Program {
public:
    PassiveLoader(PhoneBus& bus, PassiveLoaderSetup setup, uint64_t startUs);
    Stage stage() const override { return setup_.stage; }
    void OnByte(unsigned uart, uint64_t us, uint8_t byte) override;

private:
    void HandleFrame(const FrameEvent& e, uint64_t us);
    uint64_t ReplyAt(uint64_t us) const;

    PhoneBus& bus_;
    PassiveLoaderSetup setup_;
    const PhoneConfig& cfg_;
    uint64_t startUs_;
    bool awake_ = false;   // '#' received
    FrameParser parser_;
    RamLoad ram_;
    uint64_t busyUntil_ = 0;
    bool done_ = false;
};

}  // namespace flashwire::sim
