// The exported functions of the library (those a host calls without a job).
// No exception leaves them.
#include "flashwire/flash_api.h"

#include <memory>

#include "session/error_codes.h"
#include "api/options.h"
#include "job/lifecycle.h"

using namespace flashwire;

extern "C" {

FLASHWIRE_EXPORT uint32_t FlashInit(FlashHandle* handle, FlashOptions* options) {
    return InitHandle(handle, options, platform::SystemServices());
}

FLASHWIRE_EXPORT uint32_t FlashFinish(FlashHandle* handle) { return FinishHandle(handle); }

FLASHWIRE_EXPORT uint32_t FlashParseOptionString(FlashHandle* handle, const char* optionString, int32_t* count,
                                                 FlashOptions* options) {
    if (count) *count = 0;
    if (!options) return ERR_BAD_CMDLINE;
    try {
        // A handle the library did not bind (never initialised, finished, or
        // holding anything else in `context`) is treated like no handle: the
        // options are parsed and nothing is echoed.
        const std::shared_ptr<flashwire::FlashContext> ctx = BoundContext(handle);
        const int result = ParseOptionString(ctx.get(), optionString, *options);
        if (result < 0) return ERR_BAD_CMDLINE;
        if (count) *count = result;
        return SUCCESS;
    } catch (...) {
        return ERR_BAD_CMDLINE;
    }
}

FLASHWIRE_EXPORT uint32_t FlashMakeOptionString(const FlashOptions* options, char* buffer, int32_t bufferSize) {
    if (!options) {
        if (buffer && bufferSize > 0) buffer[0] = 0;
        return ERR_BAD_PARAMS;
    }
    return MakeOptionString(*options, buffer, bufferSize);
}

FLASHWIRE_EXPORT uint32_t FlashGetErrorString(uint32_t code, char* buffer) {
    if (buffer) ErrorName(code, buffer);
    return SUCCESS;
}

}  // extern "C"
