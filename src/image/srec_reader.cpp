// The S-record reader. The file is read in large chunks and split into lines
// here, as a line-by-line reader with a 128-character buffer would see them:
// a line is at most 127 characters including its line end. Hex pairs are
// decoded through one table; data go straight into the list's buffers.
#include "image/srec_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "image/address_range.h"
#include "image/region_list.h"
#include "session/reporting.h"

namespace flashwire {
namespace {

constexpr std::size_t kChunkSize = 1u << 20;

constexpr uint8_t HexDigitValue(unsigned c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return 0;  // any other character counts as the digit 0
}

// The byte value of every pair of characters (first character in the high 8 bits).
struct HexPairTable {
    std::array<uint8_t, 65536> value{};
    constexpr HexPairTable() {
        for (unsigned hi = 0; hi < 256; ++hi) {
            for (unsigned lo = 0; lo < 256; ++lo) {
                value[hi << 8 | lo] = static_cast<uint8_t>(HexDigitValue(hi) << 4 | HexDigitValue(lo));
            }
        }
    }
};
constexpr HexPairTable kHexPairs{};

inline uint8_t HexPair(const char* p) {
    return kHexPairs
        .value[static_cast<unsigned>(static_cast<uint8_t>(p[0])) << 8 | static_cast<uint8_t>(p[1])];
}

uint32_t ClampTo32(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

class SRecordLoader {
public:
    SRecordLoader(Session& ctx, RegionList& list, const char* path, uint64_t fileSize)
        : ctx_(ctx), list_(list), path_(path), step_(fileSize / 200) {}

    // One line as read: length characters, the line end included when there
    // is one; cut when the line went on past kMaxSRecordLine characters.
    uint32_t Line(const char* line, std::size_t length, bool cut);
    // After the last line: enters the pending range.
    uint32_t Finish();
    unsigned long LineNumber() const { return lineNumber_; }

private:
    uint32_t DataRecord(const char* line, std::size_t content, unsigned addressBytes);
    uint32_t EnterPending();

    Session& ctx_;
    RegionList& list_;
    const char* path_;
    uint64_t step_;
    uint64_t consumed_ = 0;
    uint64_t threshold_ = 0;
    unsigned long lineNumber_ = 0;
    uint32_t current_ = 0;
    bool pending_ = false;
    uint32_t pendingFirst_ = 0;
    uint32_t pendingLast_ = 0;
};

uint32_t SRecordLoader::EnterPending() {
    const uint32_t k = InsertLoadedRange(list_, pendingFirst_, pendingLast_);
    if (k == kRangeTableFull) return ERR_TOO_MANY_RANGES;
    if (k != 0) {
        const AddressRange& a = list_.ranges[k - 1];
        const AddressRange& b = list_.ranges[k];
        ReportMessage(ctx_, 2, "SRE line %lu: Overlapping address ranges: 0x%08lx-0x%08lx, 0x%08lx-0x%08lx!",
                      lineNumber_, static_cast<unsigned long>(a.first), static_cast<unsigned long>(a.last),
                      static_cast<unsigned long>(b.first), static_cast<unsigned long>(b.last));
        return ERR_BAD_SREC_ADDR;
    }
    return SUCCESS;
}

uint32_t SRecordLoader::Line(const char* line, std::size_t length, bool cut) {
    ++lineNumber_;
    if (IsAbortRequested(ctx_)) return ERR_ABORT;

    consumed_ += length + 1;
    if (consumed_ > threshold_) {
        ProgressUpdate(ctx_, ClampTo32(consumed_));
        threshold_ += step_;
    }

    if (length == 0 || line[0] != 'S') {
        ReportMessage(ctx_, 2, "SRE line %lu: %s is not a valid S-Record file!", lineNumber_, path_);
        return ERR_BAD_SREC_FILE;
    }
    if (cut) {
        ReportMessage(ctx_, 2, "SRE line %lu: Line longer than %u characters", lineNumber_,
                      static_cast<unsigned>(kMaxSRecordLine));
        return ERR_BAD_SREC_FILE;
    }

    std::size_t content = length;
    while (content > 0 && (line[content - 1] == '\n' || line[content - 1] == '\r')) --content;

    const char type = length >= 2 ? line[1] : '\0';
    if (type < '1' || type > '3') {
        char text[kMaxSRecordLine + 1];
        std::memcpy(text, line, content);
        text[content] = '\0';
        ReportMessage(ctx_, 0, "SRE line %lu: IGNORING: %s", lineNumber_, text);
        return SUCCESS;
    }
    return DataRecord(line, content, static_cast<unsigned>(type - '0') + 1);
}

uint32_t SRecordLoader::DataRecord(const char* line, std::size_t content, unsigned addressBytes) {
    const unsigned overhead = addressBytes + 1;  // address bytes and the checksum byte
    if (content < 4) {
        ReportMessage(ctx_, 2, "SRE line %lu: Record shorter than its byte count", lineNumber_);
        return ERR_BAD_SREC_FILE;
    }
    const unsigned count = HexPair(line + 2);
    if (count < overhead) {
        ReportMessage(ctx_, 2, "SRE line %lu: Byte count %u too small for an S%c record", lineNumber_, count,
                      line[1]);
        return ERR_BAD_SREC_FILE;
    }
    if (content < 4 + 2 * static_cast<std::size_t>(count)) {
        ReportMessage(ctx_, 2, "SRE line %lu: Record shorter than its byte count", lineNumber_);
        return ERR_BAD_SREC_FILE;
    }

    const char* p = line + 4;
    uint32_t address = 0;
    unsigned sum = count;
    for (unsigned i = 0; i < addressBytes; ++i, p += 2) {
        const uint8_t b = HexPair(p);
        address = address << 8 | b;
        sum += b;
    }
    const uint32_t dataCount = count - overhead;

    if (dataCount == 0) {
        // No data: nothing to place, only the checksum is checked.
        if (static_cast<uint8_t>(~sum) != HexPair(p)) {
            ReportMessage(ctx_, 2, "SRE line %lu: Checksum mismatch in S-record file", lineNumber_);
            return ERR_BAD_SREC_CHECKSUM;
        }
        return SUCCESS;
    }

    const MemoryRegion* buffer = &list_.buffers[current_];
    if (current_ >= list_.bufferCount || address < buffer->first || address > buffer->last) {
        current_ = FindBuffer(list_, address);
        if (current_ == kNoBuffer) {
            current_ = 0;
            ReportMessage(ctx_, 2, "SRE line %lu: Address outside buffers ! 0x%08lx", lineNumber_,
                          static_cast<unsigned long>(address));
            return ERR_BAD_SREC_ADDR;
        }
        buffer = &list_.buffers[current_];
    }
    // The data must end inside the buffer that holds the first address.
    if (static_cast<uint64_t>(address) + dataCount - 1 > buffer->last) {
        ReportMessage(ctx_, 2, "SRE line %lu: Address outside buffers ! 0x%08lx", lineNumber_,
                      static_cast<unsigned long>(buffer->last + 1u));
        return ERR_BAD_SREC_ADDR;
    }

    const uint32_t last = address + (dataCount - 1);
    if (!pending_) {
        pending_ = true;
        pendingFirst_ = address;
        pendingLast_ = last;
    } else if (pendingLast_ != 0xFFFFFFFFu && address == pendingLast_ + 1) {
        pendingLast_ = last;
    } else {
        if (const uint32_t rc = EnterPending(); rc != SUCCESS) return rc;
        pendingFirst_ = address;
        pendingLast_ = last;
        if (list_.rangeCount >= kMaxLoadedRanges) return ERR_TOO_MANY_RANGES;
    }

    uint8_t* out = buffer->data.get() + (address - buffer->first);
    for (uint32_t i = 0; i < dataCount; ++i, p += 2) {
        const uint8_t b = HexPair(p);
        out[i] = b;
        sum += b;
    }
    if (static_cast<uint8_t>(~sum) != HexPair(p)) {
        ReportMessage(ctx_, 2, "SRE line %lu: Checksum mismatch in S-record file", lineNumber_);
        return ERR_BAD_SREC_CHECKSUM;
    }
    return SUCCESS;
}

uint32_t SRecordLoader::Finish() {
    if (!pending_) return SUCCESS;
    pending_ = false;
    return EnterPending();
}

// Splits the file into lines and hands them to the loader, reading chunkSize
// bytes at a time (any size above 0 works: a line cut by a chunk's end is
// carried over to the next one).
// Fills the span as far as the file goes; false when reading failed.
bool ReadChunk(platform::File& file, char* into, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        std::size_t n = 0;
        if (!file.Read(std::span<uint8_t>(reinterpret_cast<uint8_t*>(into) + got, size - got), n)) return false;
        if (n == 0) break;
        got += n;
    }
    return true;
}

uint32_t ReadLines(Session& ctx, platform::File& file, const char* path, SRecordLoader& loader,
                   std::size_t chunkSize) {
    std::unique_ptr<char[]> buffer;
    try {
        buffer = std::make_unique_for_overwrite<char[]>(chunkSize + kMaxSRecordLine);
    } catch (const std::bad_alloc&) {
        return ERR_NOMEM;
    }
    char* const buf = buffer.get();
    std::size_t have = 0;  // bytes in buf; at most kMaxSRecordLine carried over
    bool eof = false;
    for (;;) {
        if (!eof) {
            std::size_t n = 0;
            if (!ReadChunk(file, buf + have, chunkSize, n)) {
                ReportMessage(ctx, 1, "Error: Unable to read file \"%s\"", path);
                return ERR_FILEIO;
            }
            have += n;
            if (n < chunkSize) eof = true;
        }
        std::size_t pos = 0;
        while (pos < have) {
            const char* line = buf + pos;
            const std::size_t avail = have - pos;
            // A carriage return before the line feed is part of the line end
            // and does not count for the length limit (a text-mode stream on
            // Windows drops it), so one more character is looked at.
            const std::size_t scan = avail < kMaxSRecordLine + 1 ? avail : kMaxSRecordLine + 1;
            const void* nl = std::memchr(line, '\n', scan);
            const std::size_t nlAt =
                nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - line) : std::size_t{0};
            std::size_t length;
            bool cut = false;
            if (nl && (nlAt < kMaxSRecordLine || line[nlAt - 1] == '\r')) {
                length = nlAt + 1;
            } else if (nl || avail > kMaxSRecordLine) {
                length = kMaxSRecordLine;
                cut = true;
            } else if (eof) {
                length = avail;  // the last line, without a line end
            } else {
                break;  // the line goes on in the next chunk
            }
            if (const uint32_t rc = loader.Line(line, length, cut); rc != SUCCESS) return rc;
            pos += length;
        }
        if (pos > 0 && pos < have) std::memmove(buf, buf + pos, have - pos);
        have -= pos;
        if (eof && have == 0) return SUCCESS;
    }
}

uint32_t CheckReservedRanges(Session& ctx, const RegionList& list, std::span<const AddressRange> reservedRanges) {
    for (const AddressRange& reserved : reservedRanges) {
        for (uint32_t j = 0; j < list.rangeCount; ++j) {
            const AddressRange& loaded = list.ranges[j];
            if (RangesOverlap(reserved, loaded)) {
                ReportMessage(
                    ctx, 2, "Attempt to write to reserved region 0x%lx - 0x%lx (0x%lx - 0x%lx)",
                    static_cast<unsigned long>(reserved.first), static_cast<unsigned long>(reserved.last),
                    static_cast<unsigned long>(loaded.first), static_cast<unsigned long>(loaded.last));
                return ERR_BAD_SREC_ADDR;
            }
        }
    }
    return SUCCESS;
}

void ReportLoadedRanges(Session& ctx, const RegionList& list) {
    if (list.rangeCount == 1) {
        ReportMessage(ctx, 0, "There is 1 memory region in the S-record file:");
    } else {
        ReportMessage(ctx, 0, "There are %u memory regions in the S-record file:", list.rangeCount);
    }
    for (uint32_t i = 0; i < list.rangeCount; ++i) {
        const AddressRange& r = list.ranges[i];
        ReportMessage(ctx, 0, "%2d: 0x%08lx - 0x%08lx = %10lu Bytes", static_cast<int>(i + 1),
                      static_cast<unsigned long>(r.first), static_cast<unsigned long>(r.last),
                      static_cast<unsigned long>(RangeLength(r)));
    }
}

}  // namespace

bool CheckFileReadable(Session& ctx, const char* path) {
    const std::unique_ptr<platform::File> file = ctx.files().Open(path, platform::FileMode::Read);
    // A directory opens on some systems; reading from it fails.
    if (file) {
        uint8_t first = 0;
        std::size_t got = 0;
        if (file->Read(std::span<uint8_t>(&first, 1), got)) return true;
    }
    ReportMessage(ctx, 1, "Error: Unable to open file \"%s\"", path);
    return false;
}

uint32_t LoadSRecordFile(Session& ctx, RegionList& list, const char* path, bool rangeCheck,
                         std::span<const AddressRange> reserved) {
    ReportMessage(ctx, 0, "Loading S-record file (RangeCheck=%s)", rangeCheck ? "On" : "Off");
    ReportMessage(ctx, 0, "File: %s", path);

    // Binary, so that the size and every byte are read alike on every system
    // (line ends of either kind are taken by the parser).
    const std::unique_ptr<platform::File> file = ctx.files().Open(path, platform::FileMode::Read);
    if (!file) {
        ReportMessage(ctx, 1, "Error: Unable to open file \"%s\"", path);
        return ERR_FILEIO;
    }
    const uint64_t fileSize = ctx.files().Stat(path).size;
    const uint32_t progressTotal = ClampTo32(fileSize);
    ProgressBegin(ctx, "Loading S-Record File ...", progressTotal);

    uint32_t result = SUCCESS;
    for (uint32_t i = 0; i < list.bufferCount && i < kMaxBuffers; ++i) {
        if (!list.buffers[i].data) {
            ReportMessage(ctx, 1, "Error: buffer %u not allocated", i);
            result = ERR_NOMEM;
            break;
        }
        std::memset(list.buffers[i].data.get(), 0xFF, RegionLength(list.buffers[i]));
    }
    list.rangeCount = 0;

    SRecordLoader loader(ctx, list, path, fileSize);
    // A small file is read in one chunk of its own size (plus one byte, which
    // tells its end at the first read): a loader file or a small image then
    // does not cost a 1 MiB buffer. A file whose size is unknown, or that grew
    // meanwhile, is read on in further chunks.
    const std::size_t chunkSize =
        fileSize > 0 && fileSize < kChunkSize ? static_cast<std::size_t>(fileSize) + 1 : kChunkSize;
    if (result == SUCCESS) result = ReadLines(ctx, *file, path, loader, chunkSize);
    if (result == SUCCESS) result = loader.Finish();
    if (result == SUCCESS) ReportLoadedRanges(ctx, list);
    if (result == SUCCESS && rangeCheck) result = CheckReservedRanges(ctx, list, reserved);

    ProgressUpdate(ctx, progressTotal);
    ProgressEnd(ctx);
    return result;  // the file closes here
}

}  // namespace flashwire
