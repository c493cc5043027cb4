// Files the library writes (the wire trace), on Windows.
#include "platform/win32/win32_api.h"

#include "platform/output_file.h"

namespace flashwire::platform {
namespace {

class Win32OutputFile final : public OutputFile {
public:
    explicit Win32OutputFile(HANDLE file) : file_(file) {}
    ~Win32OutputFile() override { CloseHandle(file_); }
    Win32OutputFile(const Win32OutputFile&) = delete;
    Win32OutputFile& operator=(const Win32OutputFile&) = delete;

    bool Write(std::span<const uint8_t> data) override {
        while (!data.empty()) {
            const DWORD piece = data.size() > 0x100000u ? 0x100000u : static_cast<DWORD>(data.size());
            DWORD written = 0;
            if (!WriteFile(file_, data.data(), piece, &written, nullptr) || written == 0) {
                error_ = GetLastError();
                if (error_ == 0) error_ = ERROR_WRITE_FAULT;
                return false;
            }
            data = data.subspan(written);
        }
        return true;
    }
    uint32_t LastError() const override { return error_; }

private:
    HANDLE file_;
    uint32_t error_ = 0;
};

}  // namespace

std::unique_ptr<OutputFile> CreateOutputFile(const char* path, uint32_t& systemError) {
    if (path == nullptr || path[0] == '\0') {
        systemError = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        systemError = GetLastError();
        return nullptr;
    }
    systemError = 0;
    return std::make_unique<Win32OutputFile>(file);
}

std::string SystemErrorText(uint32_t systemError) {
    char buffer[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, systemError,
                                   0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(systemError) : text;
}

}  // namespace flashwire::platform
