// Output for a person: message lines with their level, the status text, and
// the progress of each phase, as a live bar on a terminal or as plain lines
// (for logs and pipes) otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "reporter.h"

namespace flashwire::cli {

struct DisplaySettings {
    bool terminal = false;  // live bar and colours (standard output is a terminal)
    bool color = false;       // colours on standard output (a terminal, and no NO_COLOR)
    bool errorColor = false;  // colours on standard error
    bool quiet = false;     // only levels 1 and 2 and one outcome line
    bool verbose = false;   // level-0 lines and the library's own outcome lines too
    int columns = 80;       // the bar's width when the terminal does not tell its own
};

// Human-readable text: texts on `out`, the command line's errors and a
// failed outcome on `err`. Not thread-safe by itself (wrap it in a
// SynchronizedReporter).
class ProgressDisplay final : public Reporter {
public:
    using Clock = std::chrono::steady_clock;
    ProgressDisplay(std::FILE* out, std::FILE* err, DisplaySettings settings);

    void Message(int level, std::string_view text) override;
    void Status(std::string_view text) override;
    void ProgressBegin(std::string_view text, uint32_t total) override;
    void ProgressUpdate(uint32_t done, uint32_t percent) override;
    void ProgressEnd() override;
    void Tick() override;
    void Abort(AbortReason reason, std::string_view text) override;
    void Error(std::string_view text) override;
    void Note(int level, std::string_view text) override;
    void Info(std::string_view text) override;
    void Waiting(std::string_view text, double seconds) override;
    void WaitingEnded() override;
    void Result(uint32_t code, std::string_view name, int exitStatus) override;

private:
    struct Phase {
        bool active = false;
        std::string text;
        uint32_t total = 1;
        uint32_t done = 0;
        uint32_t percent = 0;
        uint32_t lastPlainStep = 0;  // the last step of the plain lines printed
        Clock::time_point start;
    };

    // Clears the bar from the terminal line before other text is written.
    void ClearBar();
    // Draws the bar of the current phase, or between phases the idle line.
    void DrawBar();
    // The bar line of the current phase, `columns` wide at most.
    std::string BarLine(int columns) const;
    // "45%  1.2 MiB / 2.6 MiB  85.3 KiB/s  0:17 left"
    std::string Figures() const;
    // Writes a line, in the colour `sgr` where that stream has colours (the
    // bar cleared first and drawn again after).
    void Line(std::FILE* to, const std::string& text, const char* sgr = nullptr);
    int Columns() const;

    std::FILE* out_;
    std::FILE* err_;
    DisplaySettings settings_;
    Clock::time_point started_;
    Clock::time_point lastLine_;  // when the last line was written
    Phase phase_;
    bool barShown_ = false;
    // The wait for the phone: its text and seconds so far (empty: no wait).
    std::string waiting_;
    double waitingSeconds_ = 0;
    double waitingLastPlain_ = 0;  // when the last plain "still waiting" line was written
    // The cause of a failure: the last level-1 or level-2 line of the
    // library and the command line's note on it.
    std::string cause_;
    std::string causeNote_;
};

// Byte counts and durations as the display writes them ("1.5 MiB", "0:42").
std::string FormatBytes(double bytes);
std::string FormatDuration(double seconds);

}  // namespace flashwire::cli
