// What the wire trace costs the job's thread: the traffic of a flash job of
// SIZE bytes (default 1 MiB) on two ports, as the job writes it (4 KiB
// streams, a framed reply read in pieces per block), traced into a real file
// through the platform layer, against the time the same bytes take on two
// lines at 921600 baud. Prints the trace's time per MiB and its share of the
// line time, measured in one run, and the longest wait of one traced write.
// Usage: trace_cost [SIZE] [FILE]   (FILE default: a file in /tmp, removed)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "platform/platform.h"
#include "trace/wire_trace.h"

using namespace flashwire;

int main(int argc, char** argv) {
    const std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : std::size_t{1} << 20;
    const std::string path = argc > 2 ? argv[2] : "/tmp/flashwire-trace-cost.trace";
    uint32_t error = 0;
    auto file = platform::CreateOutputFile(path.c_str(), error);
    if (!file) {
        std::fprintf(stderr, "trace_cost: cannot create %s (%s)\n", path.c_str(),
                     platform::SystemErrorText(error).c_str());
        return 1;
    }
    platform::Clock& clock = *platform::SystemServices().clock;
    std::vector<uint8_t> block(4096);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31 + 7);
    const std::vector<uint8_t> command(36, 0x42);
    const std::vector<uint8_t> reply(24, 0x72);

    double longest = 0;
    const auto start = std::chrono::steady_clock::now();
    {
        WireTrace trace(std::move(file), clock, path);
        trace.Opened(0, "COM1", "/dev/ttyUSB0");
        trace.Opened(1, "COM2", "/dev/ttyUSB1");
        for (std::size_t done = 0; done < size; done += 2 * block.size()) {
            const auto before = std::chrono::steady_clock::now();
            trace.Data(0, TraceDirection::Write, command);
            trace.Data(0, TraceDirection::Write, block);
            // The longest wait of one write call (it may write the buffer out).
            longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count());
            trace.Data(1, TraceDirection::Write, block);
            for (std::size_t at = 0; at < reply.size(); at += 4)
                trace.Data(0, TraceDirection::Read, std::span<const uint8_t>(reply).subspan(at, 4));
        }
        trace.Closed(0);
        trace.Closed(1);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double lineSeconds = static_cast<double>(size) / (2 * 921600 / 10.0);
    const double mib = static_cast<double>(size) / (1 << 20);
    if (argc <= 2) std::remove(path.c_str());
    std::printf("traced %zu bytes of a flash job's traffic in %.1f ms (%.1f ms per MiB)\n", size, seconds * 1e3,
                seconds * 1e3 / mib);
    std::printf("longest single traced write of 4 KiB: %.0f us\n", longest * 1e6);
    std::printf("line time of those bytes on two ports at 921600: %.2f s\n", lineSeconds);
    std::printf("trace time / line time: %.5f\n", seconds / lineSeconds);
    return 0;
}
