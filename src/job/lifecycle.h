// Handle and context lifecycle, and the protocol thread's priority stack.
#pragma once

#include <memory>

#include "job/context.h"
#include "session/priority_stack.h"

namespace flashwire {

// Allocates and binds a context to the handle with the given services (the
// exported FlashInit uses the system's). Returns an error code.
uint32_t InitHandle(FlashHandle* handle, FlashOptions* options, const platform::Services& services);
// Releases the handle's context (if the library bound one to it); always 0.
uint32_t FinishHandle(FlashHandle* handle);
// The number of contexts currently bound.
std::size_t LiveContextCount();

// A share of a context that InitHandle created and that is still bound (null
// otherwise): the context lives at least as long as the share.
std::shared_ptr<FlashContext> RetainContext(const FlashContext* ctx);
// The context bound to the handle, shared; null when the handle is null or
// its `context` member is not a bound context of this handle.
std::shared_ptr<FlashContext> BoundContext(const FlashHandle* handle);

// The name of the platform file in the data directory.
inline constexpr char kPlatformDefName[] = "platform.def";

// Makes directory the place of "platform.def", "flash.types" and the loader
// files: exeDirectory becomes the directory with a path separator at its end
// (added when missing) and platformDefPath the directory followed by
// "platform.def". False, and nothing changed, for a null or empty directory,
// one whose platformDefPath would not fit in kPathSize characters with its
// NUL, or while a job runs on the context.
bool SetDataDirectory(FlashContext& ctx, const char* directory);

}  // namespace flashwire
