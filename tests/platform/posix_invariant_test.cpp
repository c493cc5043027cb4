// A broken invariant stops the process and names itself, where checks are on.
#include <gtest/gtest.h>

#include "platform/invariant.h"

namespace {

int Two() { return 2; }

TEST(Invariant, BrokenOneStopsTheProcessWithItsText) {
#if defined(FLASHWIRE_CHECKS)
    FLASHWIRE_ASSERT(Two() == 2);  // a kept one passes
    EXPECT_DEATH(FLASHWIRE_ASSERT(Two() == 3), "invariant broken at .*posix_invariant_test.cpp:[0-9]+: Two\\(\\) == 3");
#else
    FLASHWIRE_ASSERT(Two() == 3);  // not evaluated in a Release build
#endif
}

}  // namespace
