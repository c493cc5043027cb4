// A symbolic link that gives a pseudo-terminal a stable name (for example
// /tmp/phone-uart-a → /dev/pts/7), so that a host can be pointed at a fixed
// path while the pseudo-terminal's own name changes with every start.
#pragma once

#include <string>

namespace flashwire::simd {

class PortLink {
public:
    PortLink() = default;
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    PortLink(PortLink&& other) noexcept;
    PortLink& operator=(PortLink&& other) noexcept;

    // Makes linkPath a symbolic link to target. An existing symbolic link at
    // linkPath is replaced atomically; anything else there (a regular file, a
    // directory, a device) is left alone and the call fails with a message.
    bool Create(const std::string& linkPath, const std::string& target, std::string& error);

    // Removes the link, but only while it still points at our target: a link
    // that another program has put there since is not ours to delete.
    void Remove();

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::string target_;
};

}  // namespace flashwire::simd
