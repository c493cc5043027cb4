// The S-record writer: the /read ranges of a region list as S3 records.
#include "image/srec_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "image/address_range.h"
#include "image/hex_byte.h"
#include "image/region_list.h"
#include "session/reporting.h"
#include "session/session.h"

namespace flashwire {
namespace {

constexpr uint32_t kBytesPerRecord = 16;
constexpr std::size_t kOutputSize = 1u << 16;
constexpr char kHeaderLine[] = "S00600004844521B\n";
constexpr char kTerminationLine[] = "S705A002000058\n";

// Buffered output to the file; remembers whether any write failed (a short
// write counts as failed) and writes nothing more after it.
class LineOutput {
public:
    explicit LineOutput(platform::File& file) : file_(file) {}
    void Write(const char* text, std::size_t n) {
        if (used_ + n > kOutputSize) Flush();
        std::memcpy(buffer_ + used_, text, n);
        used_ += n;
    }
    void Flush() {
        if (used_ > 0 && !failed_ &&
            file_.Write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer_), used_)) != used_)
            failed_ = true;
        used_ = 0;
    }
    bool Failed() const { return failed_; }

private:
    platform::File& file_;
    char buffer_[kOutputSize];
    std::size_t used_ = 0;
    bool failed_ = false;
};

// Every byte of the range must lie in a buffer of the list.
bool RangeInBuffers(Session& ctx, const RegionList& list, const AddressRange& range) {
    uint32_t address = range.first;
    for (;;) {
        const uint32_t index = FindBuffer(list, address);
        if (index == kNoBuffer || !list.buffers[index].data) {
            if (address == range.first) {
                ReportMessage(ctx, 2, "Error: unable to locate buffer");
            } else {
                ReportMessage(ctx, 2, "Error: read range 0x%08lx - 0x%08lx leaves the buffers at 0x%08lx",
                              static_cast<unsigned long>(range.first), static_cast<unsigned long>(range.last),
                              static_cast<unsigned long>(address));
            }
            return false;
        }
        const uint32_t bufferLast = list.buffers[index].last;
        if (bufferLast >= range.last) return true;
        address = bufferLast + 1;
    }
}

// Copies n bytes from address on out of the buffers (which hold them all).
void CopyFromBuffers(const RegionList& list, uint32_t address, uint32_t n, uint8_t* out, uint32_t& hint) {
    while (n > 0) {
        const MemoryRegion* b = &list.buffers[hint];
        if (hint >= list.bufferCount || address < b->first || address > b->last) {
            hint = FindBuffer(list, address);
            b = &list.buffers[hint];
        }
        const uint32_t inBuffer = b->last - address + 1u;  // 0 means all 4 GiB
        const uint32_t take = (inBuffer != 0 && inBuffer < n) ? inBuffer : n;
        std::memcpy(out, b->data.get() + (address - b->first), take);
        out += take;
        address += take;
        n -= take;
    }
}

}  // namespace

uint32_t WriteSRecordFile(Session& ctx, RegionList& list, std::span<const AddressRange> readRanges,
                          const char* saveFileName) {
    const auto readCount = static_cast<uint32_t>(std::min<std::size_t>(readRanges.size(), FLASH_MAX_RANGES));
    AddressRange ranges[FLASH_MAX_RANGES];
    uint64_t total = 0;
    for (uint32_t i = 0; i < readCount; ++i) {
        ranges[i] = readRanges[i];
        total += static_cast<uint64_t>(ranges[i].last) - ranges[i].first + 1;
    }
    const std::string saveFile(saveFileName != nullptr ? saveFileName : "",
                               saveFileName != nullptr ? strnlen(saveFileName, FLASH_TEXT_SIZE) : 0);

    ReportMessage(ctx, 0, "Writing S-Record File %s", saveFile.c_str());

    // Every range is checked before the file is touched.
    for (uint32_t i = 0; i < readCount; ++i) {
        if (ranges[i].last < ranges[i].first) {
            ReportMessage(ctx, 2, "Error: invalid read range 0x%08lx - 0x%08lx",
                          static_cast<unsigned long>(ranges[i].first),
                          static_cast<unsigned long>(ranges[i].last));
            return ERR_WRONG_FILE_SAVE;
        }
        if (!RangeInBuffers(ctx, list, ranges[i])) return ERR_WRONG_FILE_SAVE;
    }

    // Binary: the same bytes (lines ending in LF) on every system.
    const std::unique_ptr<platform::File> file = ctx.files().Open(saveFile.c_str(), platform::FileMode::Write);
    if (!file) {
        ReportMessage(ctx, 1, "Error: Unable to open file \"%s\"", saveFile.c_str());
        return ERR_WRONG_FILE_SAVE;
    }
    auto output = std::make_unique<LineOutput>(*file);

    const uint32_t progressTotal = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
    ProgressBegin(ctx, "Saving S-Record File ...", progressTotal);
    output->Write(kHeaderLine, sizeof kHeaderLine - 1);

    uint32_t result = SUCCESS;
    uint32_t hint = 0;
    for (uint32_t i = 0; i < readCount && result == SUCCESS; ++i) {
        uint32_t address = ranges[i].first;
        for (;;) {
            if (IsAbortRequested(ctx)) {
                result = ERR_ABORT;
                break;
            }
            const uint64_t left = static_cast<uint64_t>(ranges[i].last) - address + 1;
            const uint32_t n = left < kBytesPerRecord ? static_cast<uint32_t>(left) : kBytesPerRecord;
            uint8_t data[kBytesPerRecord];
            CopyFromBuffers(list, address, n, data, hint);

            char line[4 + 8 + 2 * kBytesPerRecord + 2 + 1];
            char* p = line;
            *p++ = 'S';
            *p++ = '3';
            unsigned sum = n + 5;
            p += HexByte(p, static_cast<uint8_t>(n + 5));
            for (int shift = 24; shift >= 0; shift -= 8) {
                const uint8_t b = static_cast<uint8_t>(address >> shift);
                sum += b;
                p += HexByte(p, b);
            }
            for (uint32_t k = 0; k < n; ++k) {
                sum += data[k];
                p += HexByte(p, data[k]);
            }
            p += HexByte(p, static_cast<uint8_t>(~sum));
            *p++ = '\n';
            output->Write(line, static_cast<std::size_t>(p - line));
            ProgressAdvance(ctx, n);

            if (n == left) break;
            address += n;
        }
    }

    // Only a whole file gets its termination line.
    if (result == SUCCESS) output->Write(kTerminationLine, sizeof kTerminationLine - 1);
    output->Flush();
    const bool closeFailed = !file->Close();
    if (output->Failed() || closeFailed) {
        ReportMessage(ctx, 1, "Error: Unable to write file \"%s\"", saveFile.c_str());
        result = ERR_WRONG_FILE_SAVE;
    }
    // A file cut short by an abort or a failed write is not left behind to be
    // taken for the phone's memory (a device such as /dev/full stays).
    if (result != SUCCESS) {
        if (ctx.files().Stat(saveFile.c_str()).regular && ctx.files().Remove(saveFile.c_str()))
            ReportMessage(ctx, 0, "Incomplete file \"%s\" removed", saveFile.c_str());
    }
    ProgressUpdate(ctx, progressTotal);
    ProgressEnd(ctx);
    return result;
}

bool CheckSaveFileWritable(Session& session, const char* saveFile) {
    platform::FileSystem& files = session.files();
    const bool existed = files.Stat(saveFile).exists;
    // Appending creates a missing file and leaves an existing one unchanged.
    std::unique_ptr<platform::File> file = files.Open(saveFile, platform::FileMode::Append);
    if (!file) {
        const std::string reason = files.LastErrorText();
        ReportMessage(session, 2, "Error: Unable to create save file \"%s\": %s; nothing was read. "
                      "Choose a file in a directory you may write to.",
                      saveFile, reason.empty() ? "unknown reason" : reason.c_str());
        return false;
    }
    file->Close();
    file.reset();
    if (!existed) files.Remove(saveFile);  // written for real once the read is done
    return true;
}

}  // namespace flashwire
