// The command line's notes on the library's lines: where the library names
// a port, a file or a verify difference, the note adds what the command line
// knows and the library does not say (the device behind the port and the
// system's reason, why the file did not open, the address range of the block
// that differs).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashwire::cli {

struct JobFacts {
    std::array<std::string, 12> devices;  // the device each port number opens
    std::string file;                     // /file
    std::string saveFile;                 // /savefile
};

class LineNotes {
public:
    explicit LineNotes(JobFacts facts) : facts_(std::move(facts)) {}

    // Follows the job's progress (the verify phase's bytes done).
    void ProgressBegin(std::string_view text, uint32_t total);
    void ProgressUpdate(uint32_t done);
    // The note on a library line, if the command line has one.
    std::optional<std::string> Note(int level, std::string_view text);

private:
    struct Range {
        uint32_t first;
        uint32_t last;
    };
    std::optional<std::string> VerifyBlock() const;

    JobFacts facts_;
    std::vector<Range> imageRanges_;  // the last list of the image's memory regions
    bool verifying_ = false;
    uint32_t verifyTotal_ = 0;
    uint32_t verifyDone_ = 0;
};

// Why a file cannot be read (or, with `forWriting`, written), in words;
// empty when nothing is wrong with it that can be seen from here.
std::string FileProblem(const std::string& path, bool forWriting);

}  // namespace flashwire::cli
