// FLASHWIRE_ASSERT: an invariant whose breach would corrupt data or hang a
// job. Checked where FLASHWIRE_CHECKS is defined (every build but a Release
// build: debug, sanitizer and test builds, the simulation, the fuzzers); a
// broken one names itself on the standard error and stops the process. In a
// Release build the condition is not evaluated.
#pragma once

namespace flashwire::platform {

[[noreturn]] void InvariantBroken(const char* condition, const char* file, int line);

}  // namespace flashwire::platform

#if defined(FLASHWIRE_CHECKS)
#define FLASHWIRE_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ::flashwire::platform::InvariantBroken(#condition, __FILE__, __LINE__))
#else
#define FLASHWIRE_ASSERT(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif
