// Reading a wire trace (the lines FlashSetTraceFile writes, docs/wire-trace.md)
// back into events.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace flashwire::sim {

enum class TraceEventKind : uint8_t {
    Open,        // the host opened the port
    OpenFailed,  // it could not
    Close,
    Rate,        // line settings
    Timeouts,    // read time-out settings
    Write,       // bytes the host wrote
    Read,        // bytes the host read
    Timeout,     // a read ended by its time-out
    Failed,      // a read or write the system refused
};

struct TraceEvent {
    uint64_t us = 0;     // since the trace began
    uint32_t port = 0;   // logical port: 0 or 1
    TraceEventKind kind = TraceEventKind::Write;
    std::vector<uint8_t> bytes;  // Write and Read
    std::string text;            // the rest of the line after the event word
    uint32_t line = 0;           // line number in the file, from 1
};

// Lines longer than this are refused.
inline constexpr std::size_t kMaxTraceLine = 4096;
// Traces of more events than this are refused (a trace of a 64 MiB job has
// about 5 million).
inline constexpr std::size_t kMaxTraceEvents = 50'000'000;

// Parses a whole trace; false with error ("line 12: ...") for a line that is
// not one of the trace's, a port other than p0 and p1, time going backwards,
// or a file that does not start with the trace's first line.
bool ParseTrace(std::istream& in, std::vector<TraceEvent>& events, std::string& error);
bool ParseTraceText(const std::string& text, std::vector<TraceEvent>& events, std::string& error);

}  // namespace flashwire::sim
