// Names of the error codes.
#include "session/error_codes.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "session/reporting.h"

namespace flashwire {
namespace {

constexpr std::array<std::string_view, 32> kNames = {
    "SUCCESS",
    "ERR_NOMEM",
    "ERR_COM",
    "ERR_ABORT",
    "ERR_FLASHTYPE",
    "ERR_PROTOCOL",
    "ERR_TIMEOUT",
    "ERR_WRONG_DLL",
    "ERR_WRONG_FILE_LOAD",
    "ERR_WRONG_FILE_SAVE",
    "ERR_WRONG_FILE_SL",
    "ERR_WRONG_FILE_FL",
    "ERR_WRONG_READLENGTH",
    "ERR_CRC",
    "ERR_UNSUPPORTED",
    "ERR_TOO_MANY_RETRIES",
    "ERR_FILEIO",
    "ERR_BAD_SREC_FILE",
    "ERR_BAD_SREC_ADDR",
    "ERR_LEGACY_LOADER",
    "ERR_CMD_FAILED",
    "ERR_RANGE_OUTSIDE_FLASH",
    "ERR_RANGES_OVERLAP",
    "ERR_BAD_SREC_CHECKSUM",
    "ERR_VERIFY_DIFFERENCE",
    "ERR_TOO_MANY_RANGES",
    "ERR_UNKOWN_HW",
    "ERR_WRONG_FLASHLOADER",
    "ERR_BAD_CMDLINE",
    "ERR_SETUP",
    "ERR_BAD_PLATFORM",
    "ERR_BAD_PARAMS",
};
constexpr std::string_view kUnknownName = "ERR_UNKNOWN";

// Used when the caller passes no buffer; one per thread, so jobs of several
// handles in one process do not overwrite each other's text.
thread_local char t_errorText[FLASH_ERROR_TEXT_SIZE];

}  // namespace

const char* ErrorName(uint32_t code, char* buffer) {
    if (!buffer) buffer = t_errorText;
    std::string_view name;
    if (code < kNames.size())
        name = kNames[code];
    else if (code == ERR_UNKNOWN)
        name = kUnknownName;
    if (name.empty()) {
        std::snprintf(buffer, FLASH_ERROR_TEXT_SIZE, "Unknown error: %u", code);
    } else {
        std::memcpy(buffer, name.data(), name.size());
        buffer[name.size()] = 0;
    }
    return buffer;
}

void ReportErrorCode(Session& ctx, uint32_t code) {
    char name[FLASH_ERROR_TEXT_SIZE];
    ReportMessage(ctx, 0, "Error code: %s", ErrorName(code, name));
}

}  // namespace flashwire
