#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <io.h>

#include "platform/console.h"

namespace flashwire::cli {
namespace {

// The console handle behind a stream; null when the stream is no console.
HANDLE ConsoleOf(std::FILE* stream) {
    const intptr_t os = _get_osfhandle(_fileno(stream));
    if (os == -1) return nullptr;
    HANDLE h = reinterpret_cast<HANDLE>(os);
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) ? h : nullptr;
}

}  // namespace

// Windows has no SIGPIPE: a write to a closed pipe fails with an error.
void IgnoreBrokenPipe() {}

bool IsTerminal(std::FILE* stream) { return ConsoleOf(stream) != nullptr; }

bool TerminalTakesEscapes(std::FILE* stream) {
    HANDLE h = ConsoleOf(stream);
    DWORD mode = 0;
    if (!h || !GetConsoleMode(h, &mode)) return false;
    // Consoles that know escape sequences take them once asked to.
    constexpr DWORD kVirtualTerminalProcessing = 0x0004;
    if ((mode & kVirtualTerminalProcessing) != 0) return true;
    return SetConsoleMode(h, mode | kVirtualTerminalProcessing) != FALSE;
}

int TerminalColumns(std::FILE* stream) {
    HANDLE h = ConsoleOf(stream);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!h || !GetConsoleScreenBufferInfo(h, &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 0;
}

std::string ExecutablePath() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::string(path, n);
}

}  // namespace flashwire::cli
