// Binding a host's handle to a context and releasing it.
//
// The library keeps the contexts it created in a registry, so a handle whose
// `context` member holds anything else (a host that never cleared its record,
// or a context already released) is never released or used as a context.
// The registry shares each context with the threads of a job (RetainContext):
// a context released while one of them still runs lives until it ends.
#include "job/lifecycle.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "state/job_plan.h"

namespace flashwire {
namespace {

std::mutex g_registryMutex;
std::vector<std::shared_ptr<FlashContext>>& Registry() {
    static std::vector<std::shared_ptr<FlashContext>> contexts;
    return contexts;
}

// The registry's entry for ctx; call with g_registryMutex held. Only
// compares addresses: ctx may be anything a host left in a handle.
std::vector<std::shared_ptr<FlashContext>>::iterator Find(const FlashContext* ctx) {
    auto& contexts = Registry();
    return std::find_if(contexts.begin(), contexts.end(),
                        [&](const std::shared_ptr<FlashContext>& c) { return c.get() == ctx; });
}

// The one lookup of a handle: the registry's entry of the context the handle
// names, if the library created it and it is bound to this very handle; the
// end of the registry otherwise. The handle's `context` member is never
// dereferenced before it was found here. Call with g_registryMutex held.
std::vector<std::shared_ptr<FlashContext>>::iterator FindBound(const FlashHandle* handle) {
    if (!handle) return Registry().end();
    auto it = Find(ContextOf(handle));
    if (it != Registry().end() && (*it)->handle != handle) return Registry().end();
    return it;
}

// Releases the handle's context if it is bound to it.
void ReleaseBound(FlashHandle* handle) {
    std::shared_ptr<FlashContext> released;
    {
        std::lock_guard lock(g_registryMutex);
        auto it = FindBound(handle);
        if (it == Registry().end()) return;
        released = std::move(*it);
        Registry().erase(it);
    }
    // Destroyed outside the lock (or later, by the last job thread holding it).
}

// exeDirectory: the executable's directory with its trailing separator, or
// empty when the path is unknown or the directory does not fit.
// platformDefPath: exeDirectory followed by "platform.def", or empty when the
// directory is unknown or the path does not fit (never a path relative to
// whatever the current directory happens to be).
void SetPaths(FlashContext& ctx) {
    ctx.exeDirectory[0] = 0;
    ctx.platformDefPath[0] = 0;
    platform::SystemInfo* system = ctx.services.system;
    if (!system) return;
    const std::string path = system->ExecutablePath();
    const std::size_t cut = path.rfind(system->PathSeparator());
    if (cut == std::string::npos) return;
    const std::size_t dirLength = cut + 1;
    if (dirLength >= kPathSize) return;
    std::memcpy(ctx.exeDirectory, path.data(), dirLength);
    ctx.exeDirectory[dirLength] = 0;
    if (dirLength + sizeof(kPlatformDefName) > kPathSize) return;
    std::memcpy(ctx.platformDefPath, path.data(), dirLength);
    std::memcpy(ctx.platformDefPath + dirLength, kPlatformDefName, sizeof(kPlatformDefName));
}

}  // namespace

uint32_t InitHandle(FlashHandle* handle, FlashOptions* options, const platform::Services& services) {
    if (!handle || handle->size != sizeof(FlashHandle)) return ERR_WRONG_DLL;
    if (!options) return ERR_BAD_PARAMS;
    FlashContext* raw = nullptr;
    try {
        auto ctx = std::make_shared<FlashContext>();
        raw = ctx.get();
        std::lock_guard lock(g_registryMutex);
        Registry().push_back(std::move(ctx));
    } catch (const std::bad_alloc&) {
        return ERR_NOMEM;
    }
    // A handle that is still bound gives up its old context first.
    ReleaseBound(handle);

    raw->handle = handle;
    raw->services = services;
    handle->context = OpaqueContext(raw);
    handle->progressBegin = nullptr;
    handle->progressUpdate = nullptr;
    handle->progressEnd = nullptr;
    handle->status = nullptr;
    handle->message = nullptr;
    handle->abortPoll = nullptr;
    SetDefaultOptions(*options);
    SetPaths(*raw);
    return SUCCESS;
}

uint32_t FinishHandle(FlashHandle* handle) {
    if (!handle || !handle->context) return SUCCESS;
    ReleaseBound(handle);
    handle->context = nullptr;
    return SUCCESS;
}

std::shared_ptr<FlashContext> RetainContext(const FlashContext* ctx) {
    if (!ctx) return nullptr;
    std::lock_guard lock(g_registryMutex);
    auto it = Find(ctx);
    return it == Registry().end() ? nullptr : *it;
}

std::shared_ptr<FlashContext> BoundContext(const FlashHandle* handle) {
    std::lock_guard lock(g_registryMutex);
    auto it = FindBound(handle);
    return it == Registry().end() ? nullptr : *it;
}

bool SetDataDirectory(FlashContext& ctx, const char* directory) {
    if (!directory || directory[0] == '\0') return false;
    // The check that no job runs and the change are one step against a job
    // started from another thread (FlashLoad claims jobRunning under this lock).
    std::lock_guard lock(ctx.jobStartMutex);
    const char separator = ctx.services.system ? ctx.services.system->PathSeparator() : '/';
    // One character more than fits tells a directory that is too long.
    const std::size_t length = strnlen(directory, kPathSize);
    // '/' ends a directory name on every system this library runs on.
    const char last = directory[length - 1];
    const bool ended = last == separator || last == '/';
    const std::size_t dirLength = length + (ended ? 0 : 1);
    if (dirLength + sizeof(kPlatformDefName) > kPathSize) return false;
    if (ctx.jobRunning.load(std::memory_order_acquire)) return false;
    std::memcpy(ctx.exeDirectory, directory, length);
    if (!ended) ctx.exeDirectory[length] = separator;
    ctx.exeDirectory[dirLength] = 0;
    std::memcpy(ctx.platformDefPath, ctx.exeDirectory, dirLength);
    std::memcpy(ctx.platformDefPath + dirLength, kPlatformDefName, sizeof(kPlatformDefName));
    return true;
}

std::size_t LiveContextCount() {
    std::lock_guard lock(g_registryMutex);
    return Registry().size();
}

}  // namespace flashwire
