// FlashSetTraceFile: the wire trace of a handle's jobs.
#include <cstring>
#include <memory>

#include "flashwire/flash_api.h"
#include "job/lifecycle.h"
#include "platform/output_file.h"
#include "trace/wire_trace.h"

extern "C" FLASHWIRE_EXPORT uint32_t FlashSetTraceFile(FlashHandle* handle, const char* path) {
    try {
        const std::shared_ptr<flashwire::FlashContext> ctx = flashwire::BoundContext(handle);
        if (!ctx || ctx->jobRunning.load(std::memory_order_acquire)) return ERR_BAD_PARAMS;
        if (path == nullptr) {
            // The trace ends: what is buffered goes to its file, which closes.
            ctx->trace.reset();
            return SUCCESS;
        }
        const std::size_t length = strnlen(path, flashwire::kPathSize);
        if (length == 0 || length >= flashwire::kPathSize || ctx->services.clock == nullptr) return ERR_BAD_PARAMS;
        // The previous trace (if any) is written out and closed first: the
        // new file may be the same.
        ctx->trace.reset();
        uint32_t error = 0;
        std::unique_ptr<flashwire::platform::OutputFile> file = flashwire::platform::CreateOutputFile(path, error);
        if (file == nullptr) return ERR_FILEIO;
        ctx->trace = std::make_shared<flashwire::WireTrace>(std::move(file), *ctx->services.clock, path);
        return SUCCESS;
    } catch (...) {
        return ERR_NOMEM;
    }
}
