// A broken invariant: named on the standard error, then the process stops
// (a core dump or the sanitizer's report shows where).
#include "platform/invariant.h"

#include <cstdio>
#include <cstdlib>

namespace flashwire::platform {

void InvariantBroken(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "flashwire: invariant broken at %s:%d: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

}  // namespace flashwire::platform
