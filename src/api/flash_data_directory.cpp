// FlashSetDataDirectory: where a handle's jobs find "platform.def",
// "flash.types" and the loader files.
#include <memory>

#include "flashwire/flash_api.h"
#include "job/lifecycle.h"

extern "C" FLASHWIRE_EXPORT uint32_t FlashSetDataDirectory(FlashHandle* handle, const char* directory) {
    try {
        const std::shared_ptr<flashwire::FlashContext> ctx = flashwire::BoundContext(handle);
        if (!ctx || !flashwire::SetDataDirectory(*ctx, directory)) return ERR_BAD_PARAMS;
        return SUCCESS;
    } catch (...) {
        return ERR_BAD_PARAMS;
    }
}
