// Shared pieces of the fuzz harnesses: invariant failures and silent host callbacks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <stdlib.h>

#include "flashwire/flash_api.h"

namespace fuzz_support {

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "INVARIANT FAILED: %s\n", what);
    std::abort();
}

inline int32_t Quiet(FlashHandle*, int32_t, const char*) { return 0; }

// A private directory for the files a harness writes per input, ending with
// '/': in memory (/dev/shm) where there is such a file system, as rewriting a
// file on a disk file system costs more than the whole parse.
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/flashwire-fuzz-XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr) {
                // Removed at exit; the path is kept where no destructor reaches it.
                static char removeAtExit[256];
                std::snprintf(removeAtExit, sizeof removeAtExit, "%s", pattern.c_str());
                std::atexit([] {
                    std::error_code ec;
                    std::filesystem::remove_all(removeAtExit, ec);
                });
                return pattern + "/";
            }
        }
        return std::string("/tmp/");
    }();
    return dir;
}

}  // namespace fuzz_support
