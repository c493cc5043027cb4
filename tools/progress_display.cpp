// Text for a person. On a terminal the current phase is one bar line at the
// bottom, redrawn in place ("\r" and "erase to end of line"); other lines are
// written above it. Elsewhere progress is a plain line at the start of a
// phase, at every quarter and at its end.
#include "progress_display.h"

#include <algorithm>
#include <cmath>

#include "platform/console.h"

namespace flashwire::cli {
namespace {

constexpr const char* kSgrLevel1 = "33";      // yellow
constexpr const char* kSgrLevel2 = "1;31";    // bold red
constexpr const char* kSgrStatus = "1";       // bold
constexpr const char* kSgrAbort = "1;33";     // bold yellow
constexpr const char* kSgrFailure = "1;31";   // bold red
constexpr const char* kSgrSuccess = "1;32";   // bold green
constexpr int kMinimumBarWidth = 10;
// Between phases the idle line appears after this long without a line.
constexpr double kIdleLineSeconds = 3.0;
// Plain progress lines: one at every this many percent.
constexpr uint32_t kPlainStepPercent = 25;
// Rates and time left are shown once a phase has run this long.
constexpr double kMinimumRateSeconds = 0.25;
// Plain output: a "still waiting" line this often while the phone is awaited.
constexpr double kPlainWaitingSeconds = 10.0;

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The library's own outcome lines ("Error code: ...", "Sorry, an error has
// occured ! (...)"): the command line says the outcome once, on standard
// error, with its cause; these are shown with -v only.
bool IsLibraryOutcome(std::string_view text) {
    return StartsWith(text, "Error code: ") || StartsWith(text, "Sorry, an error has occured !");
}

// Library texts come from files and from the phone: control characters are
// shown as '?' so they cannot move the cursor or change colours.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

// "Loading Flash ..." is shown as "Loading Flash" in front of the bar.
std::string PhaseName(std::string_view text) {
    std::string name = Printable(text);
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    return name.empty() ? "Progress" : name;
}

double SecondsBetween(ProgressDisplay::Clock::time_point from, ProgressDisplay::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

std::string FormatBytes(double bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 3) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string FormatDuration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

ProgressDisplay::ProgressDisplay(std::FILE* out, std::FILE* err, DisplaySettings settings)
    : out_(out), err_(err), settings_(settings), started_(Clock::now()), lastLine_(started_) {}

int ProgressDisplay::Columns() const {
    const int columns = TerminalColumns(out_);
    return columns > 0 ? columns : settings_.columns;
}

void ProgressDisplay::ClearBar() {
    if (!barShown_) return;
    std::fputs("\r\033[K", out_);
    barShown_ = false;
}

void ProgressDisplay::DrawBar() {
    if (!settings_.terminal || settings_.quiet) return;
    std::string line;
    if (phase_.active) {
        line = BarLine(Columns() - 1);
    } else if (!waiting_.empty()) {
        // The time first: a narrow terminal cuts the end of the line.
        line = FormatDuration(waitingSeconds_) + "  " + waiting_;
        line = line.substr(0, static_cast<std::size_t>(std::max(Columns() - 1, 0)));
    } else {
        // Between phases (waiting for the phone, for example) a line tells
        // that the job is still alive once it has been quiet for a while.
        const double quiet = SecondsBetween(lastLine_, Clock::now());
        if (quiet < kIdleLineSeconds) return;
        line = "... " + FormatDuration(quiet) + " since the last line (Ctrl-C aborts the job)";
        line = line.substr(0, static_cast<std::size_t>(std::max(Columns() - 1, 0)));
    }
    std::fputs("\r", out_);
    std::fputs(line.c_str(), out_);
    std::fputs("\033[K", out_);
    std::fflush(out_);
    barShown_ = true;
}

void ProgressDisplay::Line(std::FILE* to, const std::string& text, const char* sgr) {
    ClearBar();
    if (to != out_) std::fflush(out_);
    const bool paint = sgr && (to == out_ ? settings_.color : settings_.errorColor);
    if (paint) std::fprintf(to, "\033[%sm", sgr);
    std::fputs(text.c_str(), to);
    if (paint) std::fputs("\033[0m", to);
    std::fputc('\n', to);
    std::fflush(to);
    lastLine_ = Clock::now();
    DrawBar();
}

std::string ProgressDisplay::Figures() const {
    const double elapsed = SecondsBetween(phase_.start, Clock::now());
    // A phase of one step (waiting for the phone to power on) has no
    // amounts worth showing, only its time.
    if (phase_.total <= 1) return FormatDuration(elapsed) + " elapsed";
    std::string figures;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3u%%", std::min<uint32_t>(phase_.percent, 100));
    figures += percent;
    figures += "  " + FormatBytes(phase_.done) + " / " + FormatBytes(phase_.total);
    if (phase_.done > 0 && elapsed >= kMinimumRateSeconds) {
        const double rate = phase_.done / elapsed;
        figures += "  " + FormatBytes(rate) + "/s";
        if (phase_.done < phase_.total)
            figures += "  " + FormatDuration((phase_.total - phase_.done) / rate) + " left";
    } else {
        figures += "  " + FormatDuration(elapsed) + " elapsed";
    }
    return figures;
}

std::string ProgressDisplay::BarLine(int columns) const {
    std::string name = PhaseName(phase_.text);
    const std::string figures = Figures();
    // name + " [" + bar + "] " + figures
    int barWidth = columns - static_cast<int>(name.size() + figures.size()) - 4;
    if (barWidth < kMinimumBarWidth) {
        const int room = columns - static_cast<int>(figures.size()) - 4 - kMinimumBarWidth;
        if (room < 4) return figures.substr(0, static_cast<std::size_t>(std::max(columns, 0)));
        name = name.substr(0, static_cast<std::size_t>(room));
        barWidth = kMinimumBarWidth;
    }
    const auto filled = static_cast<int>(static_cast<double>(barWidth) *
                                         std::min<double>(phase_.done, phase_.total) / phase_.total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(barWidth - filled), '.');
    return name + " [" + bar + "] " + figures;
}

void ProgressDisplay::Message(int level, std::string_view text) {
    const bool outcome = IsLibraryOutcome(text);
    if (level >= 1 && !outcome) {
        cause_ = Printable(text);
        causeNote_.clear();
    }
    if (level < 1 && !settings_.verbose) return;
    if (outcome && !settings_.verbose) return;
    const std::string line = "[" + std::to_string(level) + "] " + Printable(text);
    Line(out_, line, level >= 2 ? kSgrLevel2 : level == 1 ? kSgrLevel1 : nullptr);
}

void ProgressDisplay::Note(int level, std::string_view text) {
    if (level >= 1) causeNote_ = Printable(text);
    if (level < 1 && !settings_.verbose) return;
    const std::string line = "[" + std::to_string(level) + "] " + Printable(text);
    Line(out_, line, level >= 2 ? kSgrLevel2 : level == 1 ? kSgrLevel1 : nullptr);
}

void ProgressDisplay::Info(std::string_view text) { Line(out_, "flashwire: " + std::string(text)); }

void ProgressDisplay::Waiting(std::string_view text, double seconds) {
    waiting_ = Printable(text);
    waitingSeconds_ = seconds;
    if (settings_.quiet) return;
    if (seconds <= 0) {
        waitingLastPlain_ = 0;
        Line(out_, waiting_);
        return;
    }
    if (settings_.terminal) {
        DrawBar();
    } else if (seconds - waitingLastPlain_ >= kPlainWaitingSeconds) {
        waitingLastPlain_ = seconds;
        Line(out_, "still waiting for the phone: " + FormatDuration(seconds));
    }
}

void ProgressDisplay::WaitingEnded() {
    if (waiting_.empty()) return;
    waiting_.clear();
    ClearBar();
}

void ProgressDisplay::Status(std::string_view text) {
    if (settings_.quiet) return;
    if (IsLibraryOutcome(text) && !settings_.verbose) return;
    Line(out_, "status: " + Printable(text), kSgrStatus);
}

void ProgressDisplay::ProgressBegin(std::string_view text, uint32_t total) {
    ClearBar();
    phase_ = Phase{};
    // A phase of one step ("Power on mobile !") has nothing to show: the
    // waiting line says what the job waits for.
    if (total <= 1) return;
    phase_.active = true;
    phase_.text = std::string(text);
    phase_.total = std::max<uint32_t>(total, 1);
    phase_.start = Clock::now();
    if (settings_.quiet) return;
    if (settings_.terminal)
        DrawBar();
    else
        Line(out_, "progress: " + PhaseName(text) + ": " + Figures());
}

void ProgressDisplay::ProgressUpdate(uint32_t done, uint32_t percent) {
    if (!phase_.active) return;
    phase_.done = std::min(done, phase_.total);
    phase_.percent = std::min<uint32_t>(percent, 100);
    if (settings_.quiet) return;
    if (settings_.terminal) {
        DrawBar();
        return;
    }
    const uint32_t step = phase_.percent / kPlainStepPercent;
    if (step > phase_.lastPlainStep && phase_.done < phase_.total) {
        phase_.lastPlainStep = step;
        Line(out_, "progress: " + PhaseName(phase_.text) + ": " + Figures());
    }
}

void ProgressDisplay::ProgressEnd() {
    if (!phase_.active) return;
    const double elapsed = SecondsBetween(phase_.start, Clock::now());
    std::string summary = PhaseName(phase_.text) + ": ";
    if (phase_.total <= 1) {
        // A phase of one step ("Power on mobile !") ends as soon as the job
        // starts waiting for the phone; the waiting line takes over.
        phase_.active = false;
        if (settings_.terminal) ClearBar();
        return;
    } else if (phase_.done >= phase_.total) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f s", elapsed);
        summary += "done, " + FormatBytes(phase_.total) + " in " + seconds;
        if (elapsed >= kMinimumRateSeconds) summary += " (" + FormatBytes(phase_.total / elapsed) + "/s)";
    } else {
        summary += "ended at " + Figures();
    }
    phase_.active = false;
    if (settings_.quiet) return;
    if (settings_.terminal) {
        // The bar gives way to the summary of the phase.
        ClearBar();
        Line(out_, summary);
    } else {
        Line(out_, "progress: " + summary);
    }
}

void ProgressDisplay::Tick() { DrawBar(); }

void ProgressDisplay::Abort(AbortReason, std::string_view text) {
    cause_ = std::string(text);
    causeNote_.clear();
    Line(err_, "flashwire: " + std::string(text), kSgrAbort);
}

// A failure of the command line becomes the cause in the outcome line, so
// that standard error says it once (after what the library said about it).
void ProgressDisplay::Error(std::string_view text) {
    cause_ = cause_.empty() ? std::string(text) : std::string(text) + ": " + cause_;
    causeNote_.clear();
}

void ProgressDisplay::Result(uint32_t code, std::string_view name, int exitStatus) {
    const double seconds = SecondsBetween(started_, Clock::now());
    ClearBar();
    phase_.active = false;
    char text[160];
    waiting_.clear();
    if (code == 0) {
        std::snprintf(text, sizeof text, "flashwire: done in %s", FormatDuration(seconds).c_str());
        Line(out_, text, kSgrSuccess);
        return;
    }
    std::snprintf(text, sizeof text, "flashwire: failed: %.*s (error %u, exit status %d) after %s",
                  static_cast<int>(name.size()), name.data(), code, exitStatus, FormatDuration(seconds).c_str());
    std::string line = text;
    if (!cause_.empty()) line += ": " + cause_;
    if (!causeNote_.empty()) line += " (" + causeNote_ + ")";
    Line(err_, line, kSgrFailure);
}

}  // namespace flashwire::cli
