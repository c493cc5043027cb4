#include "sim/daemon/flash_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>

namespace flashwire::simd {

namespace {

std::string SystemText(const std::string& what) { return what + ": " + std::strerror(errno); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

bool ReadExactly(int fd, std::span<uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, std::span<const uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The file a save replaces: path itself, or what it points to when it is a
// symbolic link.
std::string SaveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX] = {};
        if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    }
    return path;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

FlashFileLoad LoadFlashFile(const std::string& path, uint64_t expectedSize, std::vector<uint8_t>& contents,
                            std::string& error) {
    contents.clear();
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT) return FlashFileLoad::Missing;
        error = SystemText("cannot open flash file " + path);
        return FlashFileLoad::Failed;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        error = SystemText("cannot inspect flash file " + path);
        return FlashFileLoad::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "flash file " + path + " is not a regular file";
        return FlashFileLoad::Failed;
    }
    if (static_cast<uint64_t>(st.st_size) != expectedSize) {
        error = "flash file " + path + " holds " + std::to_string(st.st_size) +
                " bytes, but this phone's flash is " + std::to_string(expectedSize) +
                " bytes (the chips' contents concatenated)";
        return FlashFileLoad::Failed;
    }
    contents.resize(static_cast<std::size_t>(expectedSize));
    if (!ReadExactly(fd.Get(), contents)) {
        error = SystemText("cannot read flash file " + path);
        contents.clear();
        return FlashFileLoad::Failed;
    }
    return FlashFileLoad::Loaded;
}

bool SaveFlashFile(const std::string& path, const FlashPieceSource& nextPiece, std::string& error) {
    const std::string target = SaveTarget(path);
    const std::string temporary = target + ".tmp." + std::to_string(::getpid());
    FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.Get() < 0) {
        error = SystemText("cannot create " + temporary);
        return false;
    }
    bool ok = true;
    std::vector<uint8_t> piece;
    while (ok && nextPiece(piece)) ok = WriteAll(fd.Get(), piece);
    if (!ok || ::fsync(fd.Get()) != 0 || !fd.Close()) {
        error = SystemText("cannot write " + temporary);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        error = SystemText("cannot rename " + temporary + " to " + target);
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable.
    FileDescriptor dir(::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) ::fsync(dir.Get());
    return true;
}

}  // namespace flashwire::simd
