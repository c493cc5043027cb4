#include "platform/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <system_error>

namespace flashwire::cli {

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

bool TerminalTakesEscapes(std::FILE*) { return true; }

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;
}

std::string ExecutablePath() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

}  // namespace flashwire::cli
