// The input of the protocol fuzzer and of the sessions recorded for its seed
// corpus: a job header, then the bytes the phone sends to the host, one chunk
// per host read.
//
// Header (4 bytes):
//   [0] platform: index into kPlatforms (modulo their count);
//   [1] job: low two bits 0 flash, 1 verify, 2 read (3 is taken as flash);
//       the other bits are the flags below;
//   [2] /maxspeed: 115200, 230400, 460800 or 921600 (modulo 4);
//   [3] image: 0 the small image, 1 the image of two ranges (modulo 2).
// Chunks, until the input ends: a length byte L, then the chunk's bytes:
//   L = 0        nothing arrives: the read times out;
//   L = 1..254   L bytes;
//   L = 255      a u16 (little-endian) length follows, then that many bytes.
// A chunk cut short by the input's end holds the bytes that are there. Each
// host read whose pending bytes are used up takes the next chunk; once the
// input is used up every read times out (the phone went silent).
//
// The configuration the jobs run with (platforms, chips, loaders, images) is
// the harness's own, written into a private directory: small 1 MiB banks and
// loaders of a few hundred bytes, so that a job costs microseconds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "sim/image_files.h"

namespace protocol_fuzz {

inline constexpr std::size_t kHeaderSize = 4;

enum JobKind : uint8_t { kFlash = 0, kVerify = 1, kRead = 2 };

// Flags in header byte 1.
enum : uint8_t {
    kDiff = 0x04,
    kExtProtect = 0x08,
    kEraseUnused = 0x10,
    kTwoPorts = 0x20,
    kNoRetry = 0x40,
    kReserved = 0x80,  // a reserved range beside the image (and, on a read, a second read range)
};

inline constexpr uint32_t kSpeeds[] = {115200, 230400, 460800, 921600};

struct Platform {
    const char* name;
    uint32_t base;        // the first bank's base address
    uint32_t secondBank;  // the second bank's base (0: none)
};

// Four boot kinds: an active boot ROM, a passive one (two banks, AMD and Intel
// style chips), a passive one with a setup loader, memory interface type 1.
inline constexpr Platform kPlatforms[] = {
    {"fz-active", 0x0, 0},
    {"fz-passive", 0x0, 0x1000000},
    {"fz-setup", 0x0, 0},
    {"fz-mit1", 0x4000000, 0},
};
inline constexpr std::size_t kPlatformCount = std::size(kPlatforms);

inline const char* kPlatformDef = R"(; The protocol fuzzer's platforms: 1 MiB banks, tiny loaders.
[fz-active]
BootLoader=active
MIT=0
FlashLoader=loaders/fl.s19
FlashLoaderBaseAddr=0x0
StackBaseAddr=0x0001F000
ChipDesc=1
Flash0=0x0,1,0
SimChip0=0x0042_0x00000110

[fz-passive]
BootLoader=passive
MIT=0
FlashLoader=loaders/fl.s19
FlashLoaderBaseAddr=0x0
ChipDesc=1
Flash0=0x0,1,0
Flash1=0x1000000,1,0
SimChip0=0x0042_0x00000110
SimChip1=0x0057_0x00008801

[fz-setup]
BootLoader=passive
MIT=0
SetupLoader=loaders/sl.s19
SetupLoaderBaseAddr=0x80000
FlashLoader=loaders/fl2.s19
FlashLoaderBaseAddr=0x20000
ChipDesc=1
Flash0=0x0,1,0
SimChip0=0x0042_0x00000110

[fz-mit1]
MIT=1
SetupLoader=loaders/sl.s19
SetupLoaderBaseAddr=0x80000
FlashLoader=loaders/fl2.s19
FlashLoaderBaseAddr=0x20000
Flash0=0x4000000,1
SimChip0=0x0057_0x00008801
)";

inline const char* kFlashTypes = R"([Description]
0x0042_0x00000110=Demo NOR 8 Mbit, bottom boot (AMD style)
0x0057_0x00008801=Fuzz NOR 8 Mbit, uniform 128 KiB (Intel style)

[ChipInfo]
0x0042_0x00000110=amd,B8M1,standard
0x0057_0x00008801=intel,U128x8,pagebuffer

[Layouts]
B8M1=8*8,64*15
U128x8=128*8
)";

// A loader file: the signature the simulated phone looks for, then filler,
// as S3 records of 32 bytes from base.
inline std::string LoaderFile(const char* signature, uint32_t base, std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 7);
    for (std::size_t i = 0; signature[i] != '\0' && i < size; ++i) bytes[i] = static_cast<uint8_t>(signature[i]);
    std::string out = "S00600004844521B\n";
    for (std::size_t at = 0; at < size; at += 32) {
        const std::size_t n = std::min<std::size_t>(32, size - at);
        const uint32_t address = base + static_cast<uint32_t>(at);
        unsigned sum = static_cast<unsigned>(n + 5);
        char line[128];
        int used = std::snprintf(line, sizeof line, "S3%02X%08X", static_cast<unsigned>(n + 5), address);
        for (int k = 0; k < 4; ++k) sum += (address >> (8 * k)) & 0xFF;
        for (std::size_t i = 0; i < n; ++i) {
            used += std::snprintf(line + used, sizeof line - used, "%02X", bytes[at + i]);
            sum += bytes[at + i];
        }
        std::snprintf(line + used, sizeof line - used, "%02X\n", (~sum) & 0xFF);
        out += line;
    }
    return out + "S70500000000FA\n";
}

// One chunk of an image: bytes from address.
struct ImagePart {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

using flashwire::sim::Pattern;

// Image 0: 3 KiB inside the first sector. Image 1: 2 KiB across the first
// sector boundary (8 KiB) and 1 KiB further up; on a platform with a second
// bank the second range lies there instead.
inline std::vector<ImagePart> ImageFor(std::size_t platform, unsigned image) {
    const Platform& p = kPlatforms[platform % kPlatformCount];
    if (image % 2 == 0) return {{p.base + 0x100, Pattern(3 * 1024, 1)}};
    const uint32_t second = p.secondBank != 0 ? p.secondBank + 0x20000 : p.base + 0x10000;
    return {{p.base + 0x1C00, Pattern(2 * 1024, 2)}, {second, Pattern(1024, 3)}};
}

inline std::string ImageFileName(std::size_t platform, unsigned image) {
    return "image-" + std::to_string(platform % kPlatformCount) + "-" + std::to_string(image % 2) + ".s19";
}

inline std::string ImageFile(const std::vector<ImagePart>& parts) {
    std::string out = "S00600004844521B\n";
    for (const ImagePart& part : parts) {
        for (std::size_t at = 0; at < part.bytes.size(); at += 32) {
            const std::size_t n = std::min<std::size_t>(32, part.bytes.size() - at);
            const uint32_t address = part.address + static_cast<uint32_t>(at);
            unsigned sum = static_cast<unsigned>(n + 5);
            char line[128];
            int used = std::snprintf(line, sizeof line, "S3%02X%08X", static_cast<unsigned>(n + 5), address);
            for (int k = 0; k < 4; ++k) sum += (address >> (8 * k)) & 0xFF;
            for (std::size_t i = 0; i < n; ++i) {
                used += std::snprintf(line + used, sizeof line - used, "%02X", part.bytes[at + i]);
                sum += part.bytes[at + i];
            }
            std::snprintf(line + used, sizeof line - used, "%02X\n", (~sum) & 0xFF);
            out += line;
        }
    }
    return out + "S70500000000FA\n";
}

// Writes the configuration and the images into dir (ending with '/').
inline bool WriteConfig(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir + "loaders", ec);
    std::ofstream(dir + "platform.def") << kPlatformDef;
    std::ofstream(dir + "flash.types") << kFlashTypes;
    std::ofstream(dir + "loaders/fl.s19") << LoaderFile("FWFLASH", 0, 768);
    // The flash loader that a setup loader loads lies at 0x20000.
    std::ofstream(dir + "loaders/fl2.s19") << LoaderFile("FWFLASH", 0x20000, 768);
    std::ofstream(dir + "loaders/sl.s19") << LoaderFile("FWSETUP", 0x80000, 384);
    for (std::size_t p = 0; p < kPlatformCount; ++p)
        for (unsigned i = 0; i < 2; ++i) std::ofstream(dir + ImageFileName(p, i)) << ImageFile(ImageFor(p, i));
    return std::filesystem::exists(dir + ImageFileName(kPlatformCount - 1, 1));
}

struct Header {
    std::size_t platform = 0;
    JobKind job = kFlash;
    uint8_t flags = 0;
    uint32_t speed = 921600;
    unsigned image = 0;
};

inline Header DecodeHeader(std::span<const uint8_t> input) {
    uint8_t b[kHeaderSize] = {};
    for (std::size_t i = 0; i < kHeaderSize && i < input.size(); ++i) b[i] = input[i];
    Header h;
    h.platform = b[0] % kPlatformCount;
    h.job = (b[1] & 3) == 3 ? kFlash : static_cast<JobKind>(b[1] & 3);
    h.flags = b[1] & 0xFC;
    h.speed = kSpeeds[b[2] % 4];
    h.image = b[3] % 2;
    return h;
}

inline std::vector<uint8_t> EncodeHeader(std::size_t platform, JobKind job, uint8_t flags, unsigned speedIndex,
                                         unsigned image) {
    return {static_cast<uint8_t>(platform), static_cast<uint8_t>(job | (flags & 0xFC)),
            static_cast<uint8_t>(speedIndex), static_cast<uint8_t>(image)};
}

// The /read options of a read job: the first 4 KiB of the first bank (and with
// kReserved 1 KiB of the first bank's second 64 KiB).
inline std::string ReadRanges(const Header& h) {
    const uint32_t base = kPlatforms[h.platform].base;
    char text[96];
    if (h.flags & kReserved)
        std::snprintf(text, sizeof text, " /read=0x%X-0x%X /read=0x%X-0x%X", base, base + 0xFFF, base + 0x10000,
                      base + 0x103FF);
    else
        std::snprintf(text, sizeof text, " /read=0x%X-0x%X", base, base + 0xFFF);
    return text;
}

// The option string of the job the header describes (dir ends with '/').
inline std::string OptionString(const Header& h, const std::string& dir, const std::string& saveFile) {
    const Platform& p = kPlatforms[h.platform];
    std::string s = std::string("/platform=") + p.name + " /debug=1";
    s += (h.flags & kTwoPorts) ? " /com=1,2" : " /com=1";
    s += " /maxspeed=" + std::to_string(h.speed);
    if (h.flags & kTwoPorts) s += "," + std::to_string(h.speed);
    if (h.flags & kNoRetry) s += " /noretry=1";
    if (h.job == kRead) {
        s += " /mode=read" + ReadRanges(h) + " /savefile=" + saveFile;
        return s;
    }
    s += h.job == kVerify ? " /mode=verify" : " /mode=flash";
    s += " /file=" + dir + ImageFileName(h.platform, h.image);
    if (h.job == kFlash) {
        s += (h.flags & kDiff) ? " /diff=1" : " /diff=0";
        if (h.flags & kExtProtect) s += " /extprotect=1";
        if (h.flags & kEraseUnused) s += " /eraseunused=1";
    }
    if (h.flags & kReserved) {
        // Beside the image: the rest of the first sector's last 256 bytes.
        char text[64];
        std::snprintf(text, sizeof text, " /reserved=0x%X-0x%X", p.base + 0x1F00, p.base + 0x1FFF);
        if (h.image == 0) s += text;
    }
    return s;
}

// ---- Chunks.

inline void AppendChunk(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    if (bytes.size() < 255) {
        out.push_back(static_cast<uint8_t>(bytes.size()));
    } else {
        const std::size_t n = std::min<std::size_t>(bytes.size(), 0xFFFF);
        out.push_back(255);
        out.push_back(static_cast<uint8_t>(n & 0xFF));
        out.push_back(static_cast<uint8_t>(n >> 8));
        bytes = bytes.first(n);
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
}

class ChunkReader {
public:
    explicit ChunkReader(std::span<const uint8_t> chunks) : in_(chunks) {}
    bool done() const { return pos_ >= in_.size(); }
    // The next chunk (empty: a time-out); false once the input is used up.
    bool Next(std::span<const uint8_t>& chunk) {
        if (done()) return false;
        std::size_t n = in_[pos_++];
        if (n == 255) {
            const std::size_t lo = pos_ < in_.size() ? in_[pos_] : 0;
            const std::size_t hi = pos_ + 1 < in_.size() ? in_[pos_ + 1] : 0;
            pos_ = std::min(pos_ + 2, in_.size());
            n = lo | hi << 8;
        }
        n = std::min(n, in_.size() - pos_);
        chunk = in_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    std::size_t Count() const {
        ChunkReader copy(in_);
        std::span<const uint8_t> c;
        std::size_t k = 0;
        while (copy.Next(c)) ++k;
        return k;
    }

private:
    std::span<const uint8_t> in_;
    std::size_t pos_ = 0;
};

}  // namespace protocol_fuzz
