// Files through the C library: binary, so that every system reads and writes
// the same bytes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace flashwire::platform {
namespace {

// errno of the calling thread's last failed Open.
thread_local int lastOpenError = 0;

class StandardFile final : public File {
public:
    explicit StandardFile(std::FILE* file) : file_(file) {}
    ~StandardFile() override { Close(); }

    bool Read(std::span<uint8_t> into, std::size_t& got) override {
        got = 0;
        if (!file_) return false;
        got = std::fread(into.data(), 1, into.size(), file_);
        return got == into.size() || !std::ferror(file_);
    }
    std::size_t Write(std::span<const uint8_t> bytes) override {
        if (!file_ || bytes.empty()) return 0;
        return std::fwrite(bytes.data(), 1, bytes.size(), file_);
    }
    bool Close() override {
        if (file_) {
            closed_ = std::fclose(file_) == 0;
            file_ = nullptr;
        }
        return closed_;
    }

private:
    std::FILE* file_;
    bool closed_ = false;
};

class StandardFileSystem final : public FileSystem {
public:
    std::unique_ptr<File> Open(const char* path, FileMode mode) override {
        if (!path) return nullptr;
        const char* how = mode == FileMode::Read ? "rb" : mode == FileMode::Append ? "ab" : "wb";
        errno = 0;
        std::FILE* file = std::fopen(path, how);
        if (!file) {
            lastOpenError = errno;
            return nullptr;
        }
        return std::make_unique<StandardFile>(file);
    }
    bool Remove(const char* path) override {
        std::error_code ec;
        return path && std::filesystem::remove(path, ec);
    }
    std::string LastErrorText() const override {
        return lastOpenError != 0 ? std::string(std::strerror(lastOpenError)) : std::string();
    }
    FileStatus Stat(const char* path) override {
        FileStatus status;
        if (!path) return status;
        std::error_code ec;
        const std::filesystem::file_status st = std::filesystem::status(path, ec);
        status.exists = !ec && std::filesystem::exists(st);
        status.regular = status.exists && std::filesystem::is_regular_file(st);
        if (status.regular) {
            const auto size = std::filesystem::file_size(path, ec);
            if (!ec) status.size = size;
        }
        return status;
    }
};

}  // namespace

FileSystem& StandardFiles() {
    static StandardFileSystem files;
    return files;
}

}  // namespace flashwire::platform
