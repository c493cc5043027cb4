// The programs that run in the simulated phone (boot ROM, setup loader, flash
// loader) and what they may ask of the phone around them (PhoneBus).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/phone.h"

namespace flashwire::sim {

class PhoneBus {
public:
    virtual ~PhoneBus() = default;
    // Sends the reply named token on uart, leaving no earlier than us, through
    // the reply filter and the faults. Returns when its last byte reaches the
    // PC (us when nothing is sent).
    virtual uint64_t Send(unsigned uart, uint64_t us, const std::string& token, std::vector<uint8_t> bytes) = 0;
    // True when the last Send was turned into a refusal by an injected fault:
    // the program then behaves as if it had refused (no rate switch).
    virtual bool LastSendRefused() const = 0;
    virtual void Record(CommandRecord record) = 0;
    // Adds a fault the program committed (a receive buffer that overflowed).
    virtual void LogFault(FaultRecord record) = 0;
    // The phone's rate on uart changes once what is queued has been sent
    // (and not before notBeforeUs).
    virtual void SetRateWhenSent(unsigned uart, uint32_t baud, uint64_t notBeforeUs) = 0;
    // Starts the loaded image at us (the program that loaded it ends then).
    virtual void Run(LoadedImage image, uint64_t us, Stage loadedBy) = 0;
    virtual NorFlash& flash() = 0;
    virtual const PhoneConfig& config() const = 0;
};

class Program {
public:
    virtual ~Program() = default;
    virtual Stage stage() const = 0;
    virtual void OnByte(unsigned uart, uint64_t us, uint8_t byte) = 0;
    virtual uint64_t NextTimerUs() const { return kNever; }
    virtual void OnTimer(uint64_t us) { (void)us; }
};

}  // namespace flashwire::sim
