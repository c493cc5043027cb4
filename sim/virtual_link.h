// The in-process driver: a simulated phone wired to virtual serial ports on a
// virtual clock, offered to the library as platform::Services. A 5-second
// time-out costs microseconds of real time; everything is deterministic.
//
// Time: one virtual microsecond counter. It advances only when the driving
// thread sleeps (Clock::Sleep), writes (the bytes leave at the PC port's
// rate) or waits in a read; the phone runs up to each new time.
//
// Ports: port number 0 reaches UART A, 1 reaches UART B (MapPort changes it);
// other numbers fail to open with ENOENT. The PC side of a port accepts the
// five rates 57600 .. 921600 (SetPcRates restricts them).
//
// Reads obey platform::CommTimeouts:
//  - non-blocking (interval 0xFFFFFFFF, totals 0): what has arrived by now;
//  - with a deadline (multiplier * count + constant ms): the clock advances to
//    the arrival of the last byte asked for or to the deadline, whichever
//    comes first;
//  - without a deadline (totals 0): as with a deadline, but the read ends
//    after kIdleReadLimitUs (60 virtual seconds) without a byte, returning
//    what arrived, so a read for bytes that never come cannot hang.
// Writes: byte i of a write arrives at the phone (i + 1) * 10 bit times after
// the write began (the PC rate is what SetSettings last set, when the write
// began); the write returns when the last byte is out, the clock advanced to
// it. BeginWrite starts a write at the current time without moving the clock;
// PollWrite advances the clock to the write's last byte (or by waitMs, if
// that comes first). Bytes of writes under way on several ports reach the
// phone interleaved by time (ties: the write begun first), however the clock
// is advanced. So SerialProvider::WriteConcurrently starts every stream at
// the same time, bytes reach the phone interleaved by time (ties: stream
// order) and the clock ends at the latest end; a port's next stream starts
// once the driver has seen its previous one end. Drain returns true at once
// (a write that returned has reached the phone); closing a port cuts off its
// write under way.
// Bytes the phone sends while no port is open on their UART are lost; the PC
// side keeps up to kPcReceiveBuffer bytes per port (more are dropped, counted
// in droppedBytes()).
//
// Lifetime: close (destroy) every port before the link.
//
// Threads, by default: one thread drives the link (the thread that created
// it, and after an Open the thread that opened the port). Clock::Ticks may be
// read from any thread. Clock::Sleep from any other thread does not advance
// virtual time: it sleeps about a millisecond of real time so that polling
// threads neither spin nor disturb the virtual timeline.
// Threads, after UseVirtualThreads: the job's threads run one at a time on
// the link's time (sim/virtual_threads.h); whichever thread runs drives the
// link, every sleep and wait is virtual, and a run is the same every time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "sim/phone.h"
#include "sim/virtual_threads.h"

namespace flashwire::sim {

inline constexpr uint64_t kIdleReadLimitUs = 60'000'000;
inline constexpr std::size_t kPcReceiveBuffer = 1u << 20;

struct LinkCore;

class VirtualClock final : public platform::Clock {
public:
    explicit VirtualClock(LinkCore& core) : core_(core) {}
    uint32_t Ticks() override;  // virtual milliseconds
    void Sleep(uint32_t ms) override;
    uint64_t Microseconds() override;  // virtual microseconds

private:
    LinkCore& core_;
};

class VirtualSerialProvider final : public platform::SerialProvider {
public:
    explicit VirtualSerialProvider(LinkCore& core) : core_(core) {}
    std::unique_ptr<platform::SerialPort> Open(uint32_t portNumber, bool overlapped,
                                               uint32_t& systemError) override;

private:
    LinkCore& core_;
};

class VirtualLink {
public:
    // The phone powers on at config.powerOnUs (0 by default: it is on before
    // the host opens a port); PowerOnAtMs changes that.
    explicit VirtualLink(const PhoneConfig& config, uint64_t seed = 1);
    ~VirtualLink();
    VirtualLink(const VirtualLink&) = delete;
    VirtualLink& operator=(const VirtualLink&) = delete;

    // The virtual clock and ports, with the system's threading (or the
    // virtual threads, see UseVirtualThreads) and system information
    // (platform::SystemServices()).
    platform::Services Services();
    // From now on Services() hands out threads and events that run one at a
    // time on the link's virtual time instead of the system's. Call it before
    // a handle takes the services; the link ends the threads still alive when
    // it is destroyed.
    VirtualThreads& UseVirtualThreads();
    VirtualClock& clock();
    VirtualSerialProvider& serial();

    Phone& phone();
    uint64_t NowUs() const;
    // Advances the virtual clock to us (no-op if it is past), running the phone.
    void AdvanceToUs(uint64_t us);

    void MapPort(uint32_t portNumber, unsigned uart);
    void UnmapPort(uint32_t portNumber);
    // The rates the PC ports accept (SetSettings fails for others).
    void SetPcRates(std::vector<uint32_t> rates);
    // Powers the phone on at virtual time ms (or resets it then, if it is on).
    void PowerOnAtMs(uint32_t ms);
    // Bytes lost because a port's receive buffer was full.
    uint64_t droppedBytes() const;

private:
    std::unique_ptr<LinkCore> core_;
};

}  // namespace flashwire::sim
