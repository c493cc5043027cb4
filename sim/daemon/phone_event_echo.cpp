#include "sim/daemon/phone_event_echo.h"

#include <string>

namespace flashwire::simd {

namespace {

char UartLetter(unsigned uart) { return uart == 0 ? 'A' : 'B'; }

double Seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }

// A token as text that is safe to print: control bytes as \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace

void PhoneEventEcho::EchoNew(const sim::Phone& phone) {
    const auto& commands = phone.commandLog();
    // A log that shrank (the model started afresh) is shown from its start.
    if (commandsShown_ > commands.size()) commandsShown_ = 0;
    for (; commandsShown_ < commands.size(); ++commandsShown_) {
        const sim::CommandRecord& c = commands[commandsShown_];
        std::fprintf(out_, "[%12.6f] UART %c %s: \"%s\", %zu payload bytes%s\n", Seconds(c.us),
                     UartLetter(c.uart), sim::StageName(c.stage), Printable(c.token).c_str(),
                     c.payload.size(), c.wellFormed ? "" : " (malformed)");
    }
    const auto& faults = phone.faultLog();
    if (faultsShown_ > faults.size()) faultsShown_ = 0;
    for (; faultsShown_ < faults.size(); ++faultsShown_) {
        const sim::FaultRecord& f = faults[faultsShown_];
        std::fprintf(out_, "[%12.6f] UART %c fault %s %s%s%s\n", Seconds(f.us), UartLetter(f.uart),
                     sim::FaultKindName(f.kind),
                     f.direction == sim::Direction::ToPhone ? "to-phone" : "to-host",
                     f.detail.empty() ? "" : ": ", Printable(f.detail).c_str());
    }
    std::fflush(out_);
}

void PhoneEventEcho::Note(uint64_t us, const char* text) {
    std::fprintf(out_, "[%12.6f] %s\n", Seconds(us), text);
    std::fflush(out_);
}

}  // namespace flashwire::simd
