// Interrupts on Windows: Ctrl-C, Ctrl-Break and the console closing reach a
// console control handler, which the system runs on a thread of its own.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

#include "exit_codes.h"
#include "interrupts.h"

namespace flashwire::cli {
namespace {

// The count of the one watch that exists (null when none does).
std::atomic<std::atomic<int>*> g_count{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    std::atomic<int>* count = g_count.load();
    if (!count) return FALSE;
    if (count->fetch_add(1) + 1 < 2) return TRUE;
    std::fflush(stdout);
    std::fputs("\nflashwire: interrupted again, quitting\n", stderr);
    std::fflush(stderr);
    // At once, as _exit does: no clean-up that could wait on a job thread.
    TerminateProcess(GetCurrentProcess(), kExitInterruptedAgain);
    return TRUE;
}

}  // namespace

struct InterruptWatch::SystemPart {};

InterruptWatch::InterruptWatch() : system_(std::make_unique<SystemPart>()) {
    g_count.store(&count_);
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    g_count.store(nullptr);
}

}  // namespace flashwire::cli
