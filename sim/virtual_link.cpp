// The virtual clock, the port provider and the link that holds them.
#include "sim/virtual_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "sim/link_core.h"

namespace flashwire::sim {

uint32_t VirtualClock::Ticks() { return static_cast<uint32_t>(core_.Now() / 1000); }

uint64_t VirtualClock::Microseconds() { return core_.Now(); }

void VirtualClock::Sleep(uint32_t ms) {
    if (core_.threads) {
        core_.threads->Sleep(ms);  // every thread's sleep is virtual
        return;
    }
    if (!core_.IsDriver()) {
        // Another thread: real time passes, virtual time does not.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms == 0 ? 0 : 1));
        return;
    }
    std::lock_guard lock(core_.mutex);
    core_.AdvanceTo(core_.Now() + static_cast<uint64_t>(ms) * 1000);
}

std::unique_ptr<platform::SerialPort> VirtualSerialProvider::Open(uint32_t portNumber, bool, uint32_t& systemError) {
    std::lock_guard lock(core_.mutex);
    const auto it = core_.portMap.find(portNumber);
    if (it == core_.portMap.end()) {
        systemError = ENOENT;
        return nullptr;
    }
    if (core_.openPorts.count(portNumber)) {
        systemError = EBUSY;
        return nullptr;
    }
    core_.driver.store(std::this_thread::get_id());
    core_.openPorts.insert(portNumber);
    systemError = 0;
    return std::make_unique<VirtualSerialPort>(core_, portNumber, it->second);
}

void LinkCore::DeliverHostBytes(uint64_t us) {
    for (;;) {
        // The earliest next byte over all writes; ties go to the earlier write.
        HostWrite* best = nullptr;
        uint64_t bestUs = kNever;
        for (HostWrite& w : hostWrites) {
            if (w.Finished()) continue;
            const uint64_t t = w.NextUs();
            if (t < bestUs) {
                bestUs = t;
                best = &w;
            }
        }
        if (best == nullptr || bestUs > us) return;
        phone.HostByte(best->uart, bestUs, best->data[best->next], best->baud);
        ++best->next;
    }
}

uint64_t LinkCore::NextHostByteUs() const {
    uint64_t t = kNever;
    for (const HostWrite& w : hostWrites)
        if (!w.Finished()) t = std::min(t, w.NextUs());
    return t;
}

HostWrite* LinkCore::FindHostWrite(const VirtualSerialPort* port) {
    for (HostWrite& w : hostWrites)
        if (w.port == port) return &w;
    return nullptr;
}

void LinkCore::EndHostWrite(const VirtualSerialPort* port) {
    std::erase_if(hostWrites, [port](const HostWrite& w) { return w.port == port; });
}

VirtualLink::VirtualLink(const PhoneConfig& config, uint64_t seed)
    : core_(std::make_unique<LinkCore>(config, seed)) {
    core_->phone.PowerOn(config.powerOnUs);
}

VirtualLink::~VirtualLink() = default;

platform::Services VirtualLink::Services() {
    platform::Services& system = platform::SystemServices();
    platform::Threading* threading = core_->threads ? core_->threads.get() : system.threading;
    return platform::Services{&core_->clock, threading, &core_->serial, system.system, system.files};
}

VirtualThreads& VirtualLink::UseVirtualThreads() {
    if (!core_->threads) core_->threads = std::make_unique<VirtualThreads>(core_->time);
    return *core_->threads;
}

VirtualClock& VirtualLink::clock() { return core_->clock; }
VirtualSerialProvider& VirtualLink::serial() { return core_->serial; }
Phone& VirtualLink::phone() { return core_->phone; }
uint64_t VirtualLink::NowUs() const { return core_->Now(); }

void VirtualLink::AdvanceToUs(uint64_t us) {
    std::lock_guard lock(core_->mutex);
    core_->AdvanceTo(std::max(us, core_->Now()));
}

void VirtualLink::MapPort(uint32_t portNumber, unsigned uart) {
    std::lock_guard lock(core_->mutex);
    core_->portMap[portNumber] = uart & 1u;
}

void VirtualLink::UnmapPort(uint32_t portNumber) {
    std::lock_guard lock(core_->mutex);
    core_->portMap.erase(portNumber);
}

void VirtualLink::SetPcRates(std::vector<uint32_t> rates) {
    std::lock_guard lock(core_->mutex);
    core_->pcRates = std::move(rates);
}

void VirtualLink::PowerOnAtMs(uint32_t ms) {
    std::lock_guard lock(core_->mutex);
    core_->phone.PowerOn(static_cast<uint64_t>(ms) * 1000);
}

uint64_t VirtualLink::droppedBytes() const {
    std::lock_guard lock(core_->mutex);
    return core_->dropped;
}

}  // namespace flashwire::sim
