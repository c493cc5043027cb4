// Keeping the simulated phone's flash in a flash file (format: flash_file.h):
// loaded into the chips before the phone powers on, saved when the daemon ends.
#pragma once

#include <string>

#include "sim/nor_flash.h"

namespace flashwire::simd {

enum class FlashRestore { Restored, NoFile, Failed };

// Puts the file's contents into the chips, chip by chip in chip order.
FlashRestore RestorePhoneFlash(const std::string& path, sim::NorFlash& flash, std::string& error);

// Saves every chip's current contents to the file, atomically.
bool StorePhoneFlash(const std::string& path, const sim::NorFlash& flash, std::string& error);

}  // namespace flashwire::simd
