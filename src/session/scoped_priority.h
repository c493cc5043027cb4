// Raises the calling thread's priority for one scope; the pop follows on
// every way out.
#pragma once

#include "job/lifecycle.h"

namespace flashwire {

class ScopedThreadPriority {
public:
    ScopedThreadPriority(FlashContext& ctx, int priority) : ctx_(ctx) { PushThreadPriority(ctx_, priority); }
    ~ScopedThreadPriority() { PopThreadPriority(ctx_); }
    ScopedThreadPriority(const ScopedThreadPriority&) = delete;
    ScopedThreadPriority& operator=(const ScopedThreadPriority&) = delete;

private:
    FlashContext& ctx_;
};

}  // namespace flashwire
