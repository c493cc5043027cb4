// Serial transport: the record of one logical port (0 or 1) of a job.
#pragma once

#include <cstdint>
#include <memory>

#include "flashwire/flash_api.h"
#include "platform/platform.h"

namespace flashwire {

struct PortRecord {
    std::unique_ptr<platform::SerialPort> handle;  // null when closed
    uint32_t uartNumber = 0;
    uint32_t speedCount = 0;
    uint32_t currentBaud = 0;
    uint32_t share = 0;
    uint32_t supportedSpeeds[FLASH_SPEED_COUNT]{};
    uint32_t readTimeout = 0;
    bool nonBlocking = false;
    platform::CommTimeouts savedTimeouts{};
    uint32_t pcBaud = 0;
};

}  // namespace flashwire
