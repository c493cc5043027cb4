// Raises the calling thread's priority for one scope; the pop follows on
// every way out.
#pragma once

#include "session/session.h"

namespace flashwire {

class ScopedThreadPriority {
public:
    ScopedThreadPriority(Session& ctx, int priority) : ctx_(ctx) { PushThreadPriority(ctx_, priority); }
    ~ScopedThreadPriority() { PopThreadPriority(ctx_); }
    ScopedThreadPriority(const ScopedThreadPriority&) = delete;
    ScopedThreadPriority& operator=(const ScopedThreadPriority&) = delete;

private:
    Session& ctx_;
};

}  // namespace flashwire
