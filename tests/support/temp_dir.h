// A new, empty directory of its own under the system's temporary directory
// (mkdtemp is POSIX only; this works wherever std::filesystem does).
#pragma once

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace flashwire::test_support {

// The directory's path, or the temporary directory itself when no new one
// could be made.
inline std::string MakeTempDir(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return ".";
    std::random_device device;
    std::mt19937_64 random(device() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path dir = base / (prefix + std::to_string(random() % 1000000000));
        if (fs::create_directory(dir, ec) && !ec) return dir.string();
    }
    return base.string();
}

}  // namespace flashwire::test_support
