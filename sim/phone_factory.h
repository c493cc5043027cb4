// Building a phone from the project's configuration files: the section of
// "platform.def" names the boot ROM kind and the setup loader; its flash
// definitions are covered with chips from "flash.types".
#pragma once

#include <string>

#include "sim/phone_config.h"

namespace flashwire::sim {

// configDir holds "platform.def" and "flash.types" (with or without a trailing
// '/'). Returns the phone for the platform section platformName: an active or
// passive boot ROM as "BootLoader" says (MIT 1: passive type 4 with ID
// register), a type-5 boot ROM and a setup loader when the platform names one
// (MIT 0), and the chips that cover the flash definitions: the key
// "SimChip<n>" of the platform's section lists the "flash.types" chip keys
// (comma-separated) that cover definition n, placed one behind the other from
// its base; without it, chips of "flash.types" fill the definition by the rule
// of sim/chip_choice.h. Optional keys of the section adjust the phone (docs/simulated-phone.md):
// "SimBootRomType", "SimBootRomVersion", "SimMaxTransferSize", "SimRomMaskId",
// "SimLoaderVersion". On failure returns a default PhoneConfig and sets *error
// (if given) to the reason.
PhoneConfig PhoneConfigForPlatform(const std::string& configDir, const std::string& platformName,
                                   std::string* error);

// The same chip as the host resolves it: the sector sizes of the layout that
// "flash.types" gives the chip key "0x%04x_0x%08lx"; empty when unknown.
std::vector<uint32_t> SectorSizesFromFlashTypes(const std::string& configDir, uint16_t manufacturer,
                                                uint32_t device, std::string* error);

}  // namespace flashwire::sim
