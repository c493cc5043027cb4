// Handle and context lifecycle, and the protocol thread's priority stack.
#pragma once

#include "job/context.h"

namespace flashwire {

// Allocates and binds a context to the handle with the given services (the
// exported FlashInit uses the system's). Returns an error code.
uint32_t InitHandle(FlashHandle* handle, FlashOptions* options, const platform::Services& services);
// Releases the handle's context (if the library bound one to it); always 0.
uint32_t FinishHandle(FlashHandle* handle);
// The number of contexts currently bound.
std::size_t LiveContextCount();

// Saves the calling thread's priority and sets a new one; pops restore it.
// Pushes and pops are paired on every path.
void PushThreadPriority(FlashContext& ctx, int priority);
void PopThreadPriority(FlashContext& ctx);

}  // namespace flashwire
