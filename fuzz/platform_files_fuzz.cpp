// Fuzzes the readers of the INI files: the input is written as both
// "platform.def" and "flash.types" in a private directory, then read by
// ReadIniValue/LookupIniValue, ReadPlatformDefinition (platform "P") and
// FlashType (chips 0x0089_0x00008817 and 0x0001_0x00000001).
//
// Invariants checked beyond memory safety (ASan/UBSan): values are at most
// kMaxIniValue characters and the truncated flag agrees; a known chip has
// between 2 and kMaxSectorBoundaries sector offsets, starting at 0 and rising
// strictly; a platform read that succeeds has at most the flash banks the
// record holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "catalog/flash_type.h"
#include "catalog/ini_file.h"
#include "catalog/platform_definition.h"
#include "fuzz_support.h"
#include "job/context.h"

using namespace flashwire;

namespace {

using fuzz_support::Fail;
using fuzz_support::Quiet;

// The private directory, without its final '/'.
const std::string& Dir() {
    static const std::string dir = fuzz_support::ScratchDir().substr(0, fuzz_support::ScratchDir().size() - 1);
    return dir;
}

void Write(const std::string& path, const uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void CheckChip(uint16_t manufacturer, uint32_t device) {
    FlashType chip(manufacturer, device, Dir() + "/");
    if (!chip.IsKnown()) return;
    const int32_t n = chip.GetBoundaryCount();
    if (n < 2 || n > static_cast<int32_t>(kMaxSectorBoundaries)) Fail("known chip with a bad boundary count");
    const uint32_t* offsets = chip.GetSectorOffsets();
    if (offsets[0] != 0) Fail("first sector offset is not 0");
    for (int32_t i = 1; i < n; ++i)
        if (offsets[i] <= offsets[i - 1]) Fail("sector offsets do not rise");
    if (chip.GetCommandSet() > 1 || chip.GetProgrammingMode() > 2) Fail("chip mode out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string platformDef = Dir() + "/platform.def";
    Write(platformDef, data, size);
    Write(Dir() + "/flash.types", data, size);

    for (const char* key : {"FlashLoader", "MIT", "Flash0"}) {
        const std::string value = ReadIniValue(platformDef, "P", key, "default");
        if (value.size() > kMaxIniValue) Fail("INI value longer than the limit");
        const IniLookup lookup = LookupIniValue(platformDef, "P", key);
        if (lookup.value.size() > kMaxIniValue) Fail("INI lookup value longer than the limit");
        if (!lookup.found && (lookup.truncated || !lookup.value.empty())) Fail("missing key with a value");
        if (lookup.found && lookup.value != value) Fail("lookup and read disagree");
    }

    static FlashHandle handle = [] {
        FlashHandle h{};
        h.size = sizeof(FlashHandle);
        h.message = &Quiet;
        return h;
    }();
    // One context for the whole run (a fresh one per input is slow under the
    // sanitizers); the platform record is cleared for every input.
    static const std::unique_ptr<flashwire::FlashContext> ctx = [&] {
        auto c = std::make_unique<flashwire::FlashContext>();
        c->services = platform::SystemServices();
        c->handle = &handle;
        c->debug = true;
        c->plan.platform = "P";
        std::snprintf(c->exeDirectory, sizeof c->exeDirectory, "%s/", Dir().c_str());
        std::snprintf(c->platformDefPath, sizeof c->platformDefPath, "%s", platformDef.c_str());
        return c;
    }();
    ctx->platform = PlatformInfo{};
    if (ReadPlatformDefinition(*ctx, PlatformSource{ctx->platformDefPath, ctx->plan.platform, ctx->exeDirectory},
                               ctx->platform, ctx->imageList())) {
        if (ctx->imageList().bufferCount > kMaxBuffers) Fail("too many image buffers");
        if (ctx->platform.flashDefinitionCount > 4) Fail("too many flash banks");
    }

    CheckChip(0x89, 0x8817);
    CheckChip(0x01, 0x01);
    return 0;
}
