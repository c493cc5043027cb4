// Files the library writes (the wire trace), on a POSIX system.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/output_file.h"

namespace flashwire::platform {
namespace {

class PosixOutputFile final : public OutputFile {
public:
    explicit PosixOutputFile(int fd) : fd_(fd) {}
    ~PosixOutputFile() override { close(fd_); }
    PosixOutputFile(const PosixOutputFile&) = delete;
    PosixOutputFile& operator=(const PosixOutputFile&) = delete;

    bool Write(std::span<const uint8_t> data) override {
        while (!data.empty()) {
            const ssize_t n = write(fd_, data.data(), data.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n < 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EIO);
                return false;
            }
            data = data.subspan(static_cast<std::size_t>(n));
        }
        return true;
    }
    uint32_t LastError() const override { return error_; }

private:
    int fd_;
    uint32_t error_ = 0;
};

}  // namespace

std::unique_ptr<OutputFile> CreateOutputFile(const char* path, uint32_t& systemError) {
    if (path == nullptr || path[0] == '\0') {
        systemError = ENOENT;
        return nullptr;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        systemError = static_cast<uint32_t>(errno);
        return nullptr;
    }
    systemError = 0;
    return std::make_unique<PosixOutputFile>(fd);
}

namespace {

// strerror_r comes in two kinds: the GNU one returns the text (which may not
// be in the buffer), the POSIX one an error number.
[[maybe_unused]] std::string ErrorText(const char* text, const char*) { return text != nullptr ? text : ""; }
[[maybe_unused]] std::string ErrorText(int result, const char* buffer) { return result == 0 ? buffer : ""; }

}  // namespace

std::string SystemErrorText(uint32_t systemError) {
    char buffer[256] = {};
    std::string text = ErrorText(strerror_r(static_cast<int>(systemError), buffer, sizeof buffer), buffer);
    return text.empty() ? "error " + std::to_string(systemError) : text;
}

}  // namespace flashwire::platform
