// A small reader of INI files with the results of the classic profile-string
// lookup: the file is read anew for every lookup (the files are small and are
// read a few dozen times per job), and only the first kLineKeep characters of
// a line are kept, so a line of any length costs bounded memory.
#include "catalog/ini_file.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace flashwire {
namespace {

// Characters of one line that are kept; the rest of a longer line is skipped.
constexpr std::size_t kLineKeep = 4096;
// A lookup reads at most this many bytes of a file (the rest counts as missing),
// so a huge or endless file cannot stall a job.
constexpr std::size_t kMaxFileBytes = 16u << 20;

// Bytes of a file one at a time, read in blocks; a failed read ends the file.
class ByteReader {
public:
    explicit ByteReader(platform::File& file) : file_(file) {}
    int Get() {
        if (pos_ == have_) {
            std::size_t got = 0;
            if (end_ || !file_.Read(block_, got) || got == 0) {
                end_ = true;
                return EOF;
            }
            have_ = got;
            pos_ = 0;
        }
        return block_[pos_++];
    }

private:
    platform::File& file_;
    uint8_t block_[4096];
    std::size_t pos_ = 0, have_ = 0;
    bool end_ = false;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// Reads the next line into buf (at most kLineKeep characters, without the
// line end). cut tells that characters beyond those were skipped. budget is
// the count of bytes still to be read; false at the end of the file or of the
// budget.
// A line holding a NUL ends there.
bool NextLine(ByteReader& f, char (&buf)[kLineKeep + 2], std::size_t& length, bool& cut, std::size_t& budget) {
    cut = false;
    length = 0;
    if (budget == 0) return false;
    int c = EOF;
    bool any = false;
    while (length < kLineKeep + 1 && budget > 0 && (c = f.Get()) != EOF) {
        any = true;
        --budget;
        if (c == '\n') break;
        buf[length++] = static_cast<char>(c);
    }
    buf[length] = '\0';
    const bool lineEnded = c == '\n';
    length = std::strlen(buf);
    if (!any) return false;
    if (lineEnded || c == EOF || budget == 0) return true;
    // No line end among the kept characters: skip the rest of the line.
    while (budget > 0 && (c = f.Get()) != EOF) {
        --budget;
        if (c == '\n') break;
        cut = true;
    }
    return true;
}

}  // namespace

IniLookup LookupIniValue(const std::string& path, std::string_view section, std::string_view key,
                         platform::FileSystem& files) {
    IniLookup result;
    section = Trim(section);
    key = Trim(key);
    if (key.empty()) return result;

    // Binary: every system reads the same bytes (a CR before LF is blank).
    const std::unique_ptr<platform::File> file = files.Open(path.c_str(), platform::FileMode::Read);
    if (!file) return result;
    ByteReader reader(*file);

    char buf[kLineKeep + 2];
    std::size_t length = 0;
    bool cut = false;
    bool firstLine = true;
    bool inSection = false;
    std::size_t budget = kMaxFileBytes;
    while (NextLine(reader, buf, length, cut, budget)) {
        std::string_view line(buf, length);
        if (firstLine && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);  // UTF-8 mark
        firstLine = false;
        line = Trim(line);
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string_view::npos) continue;  // not a section header
            inSection = EqualsIgnoringCase(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;

        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (!EqualsIgnoringCase(Trim(line.substr(0, eq)), key)) continue;

        std::string_view value = Trim(line.substr(eq + 1));
        // One pair of matching quotes around the whole value is removed.
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        result.found = true;
        result.truncated = cut || value.size() > kMaxIniValue;
        result.value.assign(value.substr(0, kMaxIniValue));
        return result;
    }
    return result;
}

std::string ReadIniValue(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view defaultValue, platform::FileSystem& files) {
    IniLookup lookup = LookupIniValue(path, section, key, files);
    if (lookup.found) return std::move(lookup.value);
    return std::string(defaultValue.substr(0, kMaxIniValue));
}

}  // namespace flashwire
