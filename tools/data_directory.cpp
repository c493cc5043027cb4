#include "data_directory.h"

#include <filesystem>
#include <system_error>

#include "platform/console.h"

namespace flashwire::cli {

std::vector<std::string> DataDirectoryCandidates() {
    namespace fs = std::filesystem;
    std::vector<std::string> candidates;
    const fs::path exe = ExecutablePath();
    if (!exe.empty()) {
        candidates.push_back(exe.parent_path().string());
        candidates.push_back((exe.parent_path() / FLASHWIRE_DATA_FROM_BIN).lexically_normal().string());
    }
    const std::string compiledIn = FLASHWIRE_DATA_DIR;
    bool known = false;
    for (const std::string& c : candidates) known = known || fs::path(c) == fs::path(compiledIn);
    if (!known) candidates.push_back(compiledIn);
    return candidates;
}

std::string DefaultDataDirectory() {
    const std::vector<std::string> candidates = DataDirectoryCandidates();
    for (const std::string& dir : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(std::filesystem::path(dir) / "platform.def", ec)) return dir;
    }
    return candidates.back();
}

}  // namespace flashwire::cli
