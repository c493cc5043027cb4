// PhoneConfig: everything that makes one simulated phone: its boot ROM, the
// answers of its setup loader and flash loader, its flash chips and their
// contents, its timing and the faults it commits. Defaults describe a sound,
// realistic phone; PhoneConfigForPlatform (phone_factory.h) builds one that
// matches a platform of "platform.def".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/fault_config.h"

namespace flashwire::sim {

enum class BootRomKind : uint8_t { Active, Passive };

// A boot ROM that announces itself with 'O' and takes numbered 4 KiB blocks.
struct ActiveBootRomConfig {
    unsigned uart = 0;                    // UART it announces and listens on
    uint64_t announceIntervalUs = 20'000; // one 'O' per interval until the rate pattern
    uint64_t announceWindowUs = 0;        // announcing stops after this long (0: never)
    // After 'K', a line quiet this long without the confirming "rr" sends the
    // ROM back to announcing (with a fresh window): a host that read a stale
    // 'O' where it expected the 'K' has gone back to waiting for the next
    // announcement. Longer than the host's read time-outs, so a host that
    // resends the rate pattern after silence still finds the ROM waiting.
    uint64_t confirmTimeoutUs = 5'000'000;
    uint32_t ramBlocks = 32;              // RAM for the image: 32 blocks = 128 KiB
};

// A boot ROM woken by '?' pings that takes framed "info"/"data"/"done".
// Its "info" answer: word 0 = flag31 << 31 | type << 16 | major << 8 | minor,
// word 1 = romMaskId, word 2 = uartNumber, word 3 = maxTransferSize, and with
// hasIdRegister word 4 = 4 and word 5 = idRegister (24 bytes), else 16 bytes.
// Type 5 tells the host that a setup loader is needed.
struct PassiveBootRomConfig {
    uint8_t majorVersion = 2;
    uint8_t minorVersion = 1;
    uint8_t type = 2;
    bool flag31 = false;
    uint32_t romMaskId = 0x4F4D4544;  // "DEMO" shown highest-order byte first
    uint32_t uartNumber = 0;          // the UART it listens on
    uint32_t maxTransferSize = 4352;
    bool hasIdRegister = false;
    uint32_t idRegister = 0;
    uint64_t listenWindowUs = 0;  // pings are answered only this long after boot (0: always)
};

// The setup loader's "info" answer (it listens on uartNumber):
// word 0 = type << 16 | major << 8 | minor, word 2 = uartNumber,
// word 3 = maxTransferSize, 16 bytes.
struct SetupLoaderConfig {
    uint8_t majorVersion = 1;
    uint8_t minorVersion = 2;
    uint16_t type = 1;
    uint32_t uartNumber = 0;
    uint32_t maxTransferSize = 8448;
};

struct FlashLoaderConfig {
    uint8_t majorVersion = 6;
    uint8_t minorVersion = 0;
    uint32_t maxTxSize = 0x10000;  // largest "TXDT" block
    uint32_t maxRxSize = 0x2000;   // largest "SUCK" block
    std::array<uint32_t, 5> speeds{115200, 230400, 460800, 921600, 0};
    bool textMessages = false;  // "*msg" records while it works (OPEN, ERAS, CLOS)
    bool memoryDumps = false;   // a "*dmp" of the sector's first bytes before "CLOS" answers
};

// One flash chip: its two identifications as the flash loader reports them,
// where it lies in the phone's address space and its sectors in bytes.
struct ChipConfig {
    std::string name;
    uint8_t amdManufacturer = 0;
    uint32_t amdDevice = 0;
    uint8_t intelManufacturer = 0;
    uint32_t intelDevice = 0;
    uint32_t firstAddress = 0;
    std::vector<uint32_t> sectorSizes;  // in order, bytes
};

// Bytes the flash holds at power-on (everything else reads 0xFF).
struct FlashContents {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

struct TimingConfig {
    uint64_t bootDelayUs = 30'000;        // power-on to the boot ROM's first sign of life
    uint64_t replyLatencyUs = 100;        // reaction time to a command or single byte
    uint64_t loaderStartUs = 5'000;       // a loaded program starts this long after its last answer
    uint64_t programNsPerByte = 10'000;   // programming, per byte that is not 0xFF
    uint64_t eraseFixedUs = 100'000;      // erase of a sector: fixed part ...
    uint64_t eraseUsPerKiB = 6'250;       // ... plus this per KiB (64 KiB: 500 ms)
    uint64_t readNsPerByte = 20;          // reading flash for "VRFY", "SUCK", "OPEN"
    uint64_t frameIdleResetUs = 500'000;  // a frame quiet this long is dropped
    uint64_t streamIdleUs = 1'000'000;    // a "TXDT" stream quiet this long fails
    // The loader arms its receive for a "TXDT" stream this long after the
    // frame's last byte, once it has checked the frame; stream bytes that come
    // earlier are lost (logged as FaultKind::StreamNotArmed). 0: it listens at
    // once and keeps bytes that came early, as a buffering UART would.
    uint64_t streamArmingUs = 0;
};

struct PhoneConfig {
    std::string name = "demo-phone";
    BootRomKind bootRom = BootRomKind::Passive;
    ActiveBootRomConfig active;
    PassiveBootRomConfig passive;
    SetupLoaderConfig setupLoader;
    FlashLoaderConfig flashLoader;
    std::vector<ChipConfig> chips;
    std::vector<FlashContents> initialFlash;
    uint64_t powerOnUs = 0;        // when VirtualLink powers the phone on
    uint32_t initialBaud = 115200; // both UARTs at power-on
    TimingConfig timing;
    FaultConfig faults;
    // Loaded images must start with their signature ("FWSETUP" / "FWFLASH",
    // loader_image.h); without one the phone stays silent after loading. When
    // false, an image without signature runs as the loader the stage expects
    // (setup loader after a passive boot ROM of type 4 or 5, flash loader
    // otherwise). flashwire-sim sets it false unless given
    // --require-loader-signature.
    bool requireLoaderSignature = true;
    // The flash loader restarts the phone when it receives the host's end
    // byte 'o' (outside a frame): loaders and rates are lost, the flash is
    // kept and the boot ROM runs again after the boot delay, as a phone put
    // back into download mode for the next job. flashwire-sim sets it; off,
    // the end byte is only logged and the flash loader keeps running.
    bool restartOnEndByte = false;
};

}  // namespace flashwire::sim
