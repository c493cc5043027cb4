#include "sim/fault_files.h"

#include <algorithm>

namespace flashwire::sim {

const char* FileFaultName(FileFault fault) {
    switch (fault) {
        case FileFault::None: return "none";
        case FileFault::DiskFull: return "disk full";
        case FileFault::ShortWrite: return "short write";
        case FileFault::UnreadablePart: return "unreadable part-way";
    }
    return "?";
}

class FaultFile final : public platform::File {
public:
    FaultFile(std::unique_ptr<platform::File> real, FaultFiles& owner) : real_(std::move(real)), owner_(owner) {}

    bool Read(std::span<uint8_t> into, std::size_t& got) override {
        got = 0;
        const FileFaultConfig& c = owner_.config_;
        if (c.fault == FileFault::UnreadablePart) {
            if (offset_ >= c.at) {
                ++owner_.hits_;
                return false;
            }
            into = into.first(std::min<uint64_t>(into.size(), c.at - offset_));
        }
        const bool ok = real_->Read(into, got);
        offset_ += got;
        return ok;
    }

    std::size_t Write(std::span<const uint8_t> bytes) override {
        const FileFaultConfig& c = owner_.config_;
        if ((c.fault == FileFault::DiskFull || c.fault == FileFault::ShortWrite) && !struck_ &&
            offset_ + bytes.size() > c.at) {
            // Up to the offset, then nothing of this write.
            const std::size_t room = offset_ < c.at ? static_cast<std::size_t>(c.at - offset_) : 0;
            const std::size_t written = room > 0 ? real_->Write(bytes.first(room)) : 0;
            offset_ += written;
            ++owner_.hits_;
            struck_ = c.fault == FileFault::ShortWrite;  // a short write strikes once
            full_ = c.fault == FileFault::DiskFull;
            return written;
        }
        if (full_) {
            ++owner_.hits_;
            return 0;
        }
        const std::size_t written = real_->Write(bytes);
        offset_ += written;
        return written;
    }

    bool Close() override {
        const bool ok = real_->Close();
        return ok && !full_;
    }

private:
    std::unique_ptr<platform::File> real_;
    FaultFiles& owner_;
    uint64_t offset_ = 0;
    bool struck_ = false;
    bool full_ = false;
};

std::unique_ptr<platform::File> FaultFiles::Open(const char* path, platform::FileMode mode) {
    std::unique_ptr<platform::File> file = real_.Open(path, mode);
    if (!file || config_.fault == FileFault::None || path == nullptr || config_.path != path) return file;
    return std::make_unique<FaultFile>(std::move(file), *this);
}

}  // namespace flashwire::sim
