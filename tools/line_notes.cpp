#include "line_notes.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/serial_devices.h"

namespace flashwire::cli {
namespace {

// The verify job compares blocks of this many bytes.
constexpr uint32_t kVerifyBlock = 64 * 1024;

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The text between the first pair of double quotes.
std::string Quoted(std::string_view text) {
    const std::size_t open = text.find('"');
    if (open == std::string_view::npos) return {};
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) return {};
    return std::string(text.substr(open + 1, close - open - 1));
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIx32, value);
    return text;
}

}  // namespace

std::string FileProblem(const std::string& path, bool forWriting) {
    namespace fs = std::filesystem;
    if (path.empty()) return "no file name given";
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) return path + " is a directory, not a file";
    if (forWriting) {
        const fs::path parent = fs::path(path).parent_path();
        if (!parent.empty() && !fs::is_directory(parent, ec))
            return "the directory " + parent.string() + " does not exist";
        // Only a file that is there is opened (for appending, nothing
        // changes): looking must not create one.
        if (!fs::exists(status)) return {};
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "ab"), std::fclose);
        if (!file) return path + ": " + std::strerror(errno);
        return {};
    }
    if (!fs::exists(status)) return path + ": " + std::strerror(ENOENT);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return path + ": " + std::strerror(errno);
    return {};
}

void LineNotes::ProgressBegin(std::string_view text, uint32_t total) {
    verifying_ = StartsWith(text, "Verifying Flash");
    verifyTotal_ = total;
    verifyDone_ = 0;
}

void LineNotes::ProgressUpdate(uint32_t done) {
    if (verifying_) verifyDone_ = done;
}

std::optional<std::string> LineNotes::VerifyBlock() const {
    // The blocks follow the image's ranges; the bytes done are those of the
    // blocks that matched. An update the library left out (it drops updates
    // that do not change the percent) would make this figure too small: it
    // is exact while one block moves the percent (images up to 100 blocks).
    uint64_t skip = verifyDone_;
    for (const Range& r : imageRanges_) {
        const uint64_t length = static_cast<uint64_t>(r.last) - r.first + 1;
        if (skip >= length) {
            skip -= length;
            continue;
        }
        const uint64_t first = r.first + skip;
        const uint64_t last = std::min<uint64_t>(first + kVerifyBlock - 1, r.last);
        const bool exact = static_cast<uint64_t>(verifyTotal_) <= 100ull * kVerifyBlock;
        return std::string(exact ? "the block that differs is " : "the first block that differs is at or after ") +
               Hex(static_cast<uint32_t>(first)) + " - " + Hex(static_cast<uint32_t>(last));
    }
    return std::nullopt;
}

std::optional<std::string> LineNotes::Note(int level, std::string_view text) {
    // The image's memory regions ("There are 2 memory regions in the S-record
    // file:" and then " 1: 0x00004000 - 0x00008fff = ... Bytes").
    if (level == 0) {
        if (text.find("memory region") != std::string_view::npos && text.find("S-record file") != std::string_view::npos) {
            imageRanges_.clear();
            return std::nullopt;
        }
        unsigned number = 0;
        unsigned long first = 0;
        unsigned long last = 0;
        const std::string line(text.substr(0, 64));
        if (std::sscanf(line.c_str(), "%u: 0x%lx - 0x%lx =", &number, &first, &last) == 3 && first <= last &&
            last <= UINT32_MAX && imageRanges_.size() < 1024)
            imageRanges_.push_back({static_cast<uint32_t>(first), static_cast<uint32_t>(last)});
        return std::nullopt;
    }
    unsigned port = 0;
    const std::string line(text.substr(0, 128));
    if (std::sscanf(line.c_str(), "Error: Could not open COM%u", &port) == 1 && port >= 1 && port <= 12) {
        const std::string& device = facts_.devices[port - 1];
        const std::string problem = SerialDeviceProblem(device);
        return "COM" + std::to_string(port) + " is " + device + ": " +
               (problem.empty() ? "it opens now; another program may have had it open" : problem);
    }
    if (StartsWith(text, "Error: Unable to open file") || StartsWith(text, "Error: Unable to read file") ||
        StartsWith(text, "Error: Unable to write file")) {
        const std::string path = Quoted(text);
        const bool writing = !facts_.saveFile.empty() && path == facts_.saveFile;
        std::string problem = FileProblem(path, writing);
        if (problem.empty()) return std::nullopt;
        if (path == facts_.file && path.empty()) problem = "no image given (/file=IMAGE)";
        return problem;
    }
    if (StartsWith(text, "VerifyData: Difference found")) return VerifyBlock();
    return std::nullopt;
}

}  // namespace flashwire::cli
