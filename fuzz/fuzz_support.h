// Shared pieces of the fuzz harnesses: invariant failures and silent host callbacks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "flashwire/flash_api.h"

namespace fuzz_support {

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "INVARIANT FAILED: %s\n", what);
    std::abort();
}

inline int32_t Quiet(FlashHandle*, int32_t, const char*) { return 0; }

}  // namespace fuzz_support
