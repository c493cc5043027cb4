// Files with faults: a file system that passes every call to another one and
// fails the reads or writes of one chosen file as a disk or a medium would.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace flashwire::sim {

enum class FileFault : uint8_t {
    None,
    DiskFull,         // writes stop at `at` bytes: the rest is refused, the close fails too
    ShortWrite,       // the write that reaches `at` bytes writes only up to there; later writes succeed
    UnreadablePart,   // reading past `at` bytes fails
};

struct FileFaultConfig {
    FileFault fault = FileFault::None;
    std::string path;  // the one file that suffers the fault
    uint64_t at = 0;   // its byte offset
};

const char* FileFaultName(FileFault fault);

class FaultFiles final : public platform::FileSystem {
public:
    FaultFiles(platform::FileSystem& real, FileFaultConfig config) : real_(real), config_(std::move(config)) {}

    std::unique_ptr<platform::File> Open(const char* path, platform::FileMode mode) override;
    bool Remove(const char* path) override { return real_.Remove(path); }
    platform::FileStatus Stat(const char* path) override { return real_.Stat(path); }
    std::string LastErrorText() const override { return real_.LastErrorText(); }

    // How often the fault struck (a read or write refused or cut).
    uint32_t hits() const { return hits_; }

private:
    friend class FaultFile;
    platform::FileSystem& real_;
    FileFaultConfig config_;
    uint32_t hits_ = 0;
};

}  // namespace flashwire::sim
