// The line rates of the public interface, by speed index.
#pragma once

#include <array>
#include <cstdint>

#include "flashwire/flash_api.h"

namespace flashwire {

inline constexpr std::array<uint32_t, FLASH_SPEED_COUNT> SpeedTable = FLASH_SPEED_TABLE;

}  // namespace flashwire
