#include "sim/daemon/port_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace flashwire::simd {

namespace {

// The target a symbolic link holds; empty if path is no readable link.
std::string LinkTarget(const std::string& path) {
    char buffer[PATH_MAX + 1] = {};
    const ssize_t n = ::readlink(path.c_str(), buffer, PATH_MAX);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace

PortLink::~PortLink() { Remove(); }

PortLink::PortLink(PortLink&& other) noexcept
    : path_(std::exchange(other.path_, {})), target_(std::exchange(other.target_, {})) {}

PortLink& PortLink::operator=(PortLink&& other) noexcept {
    if (this != &other) {
        Remove();
        path_ = std::exchange(other.path_, {});
        target_ = std::exchange(other.target_, {});
    }
    return *this;
}

bool PortLink::Create(const std::string& linkPath, const std::string& target, std::string& error) {
    Remove();
    if (linkPath.empty()) {
        error = "link path is empty";
        return false;
    }
    struct stat st {};
    if (::lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = "refusing to replace " + linkPath + ": it exists and is not a symbolic link";
            return false;
        }
    } else if (errno == ENOENT) {
        // Nothing there: symlink() itself refuses if something appears meanwhile.
        if (::symlink(target.c_str(), linkPath.c_str()) != 0) {
            error = "cannot create link " + linkPath + ": " + std::strerror(errno);
            return false;
        }
        path_ = linkPath;
        target_ = target;
        return true;
    } else {
        error = "cannot inspect " + linkPath + ": " + std::strerror(errno);
        return false;
    }
    // Build the new link beside the old one and rename it into place, so the
    // path never points nowhere and an existing link is swapped atomically.
    const std::string temporary = linkPath + ".flashwire-sim." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) {
        error = "cannot create link " + linkPath + ": " + std::strerror(errno);
        return false;
    }
    if (::rename(temporary.c_str(), linkPath.c_str()) != 0) {
        error = "cannot create link " + linkPath + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    path_ = linkPath;
    target_ = target;
    return true;
}

void PortLink::Remove() {
    if (path_.empty()) return;
    if (LinkTarget(path_) == target_) ::unlink(path_.c_str());
    path_.clear();
    target_.clear();
}

}  // namespace flashwire::simd
