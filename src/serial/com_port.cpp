// The COM port layer: opening a port by number, its line settings and read
// time-outs, the non-blocking mode for discarding stale input, reads, writes
// and closing. The ports themselves come from ctx.services.serial.
#include "serial/com_port.h"

#include <algorithm>
#include <cerrno>
#include <span>

#include "serial/speed_table.h"
#include "session/session.h"
#include "session/reporting.h"
#include "serial/tracing_port.h"

namespace flashwire {
namespace {

// The logical port's record, or null for an index other than 0 or 1.
PortRecord* Record(Session& ctx, uint32_t port) {
    return port < std::size(ctx.ports) ? &ctx.ports[port] : nullptr;
}

// The open port behind a logical index, or null.
platform::SerialPort* OpenPort(Session& ctx, uint32_t port) {
    PortRecord* rec = Record(ctx, port);
    return rec != nullptr ? rec->handle.get() : nullptr;
}

bool IsAcceptedBaud(uint32_t baud) {
    return std::find(SpeedTable.begin(), SpeedTable.end(), baud) != SpeedTable.end();
}

// Sets the read time-out on the port whatever readTimeout says; returns the
// previous readTimeout.
uint32_t ApplyReadTimeout(Session& ctx, PortRecord& rec, uint32_t timeoutMs) {
    // A read returns when its count has arrived or timeoutMs after it began;
    // 0 waits for the count. Writes have no time-out.
    const platform::CommTimeouts timeouts{0, 0, timeoutMs, 0, 0};
    if (rec.handle == nullptr || !rec.handle->SetTimeouts(timeouts)) {
        const uint32_t error = rec.handle != nullptr ? rec.handle->LastError() : static_cast<uint32_t>(EBADF);
        ReportMessage(ctx, 2, "Error: ComSetTimout FAILED (%lu, %lu)", static_cast<unsigned long>(timeoutMs),
                      static_cast<unsigned long>(error));
    }
    const uint32_t previous = rec.readTimeout;
    rec.readTimeout = timeoutMs;
    return previous;
}

}  // namespace

bool ComOpen(Session& ctx, uint32_t port, uint32_t portNumber, uint32_t baud, uint32_t timeoutMs) {
    const char* name = ComPortName(portNumber);
    PortRecord* rec = Record(ctx, port);
    uint32_t error = EINVAL;
    std::unique_ptr<platform::SerialPort> opened;
    if (rec != nullptr && portNumber < kComPortCount) {
        if (ctx.services.serial != nullptr)
            opened = ctx.services.serial->Open(portNumber, ctx.overlappedIo, error);
        else
            error = ENODEV;
    }
    if (opened == nullptr) {
        if (rec != nullptr && portNumber < kComPortCount) TraceOpenFailure(ctx, port, portNumber, error);
        ReportMessage(ctx, 2, "Error: Could not open %s at %u Baud (%lu)", name, baud,
                      static_cast<unsigned long>(error));
        return false;
    }

    // A port opened again replaces (and closes) the one the record held.
    rec->handle = TracePort(ctx, port, portNumber, std::move(opened));
    rec->nonBlocking = false;
    if (!ComSetBaudRate(ctx, port, baud)) {
        ReportMessage(ctx, 1, "Error: Could not set %s at %u Baud (%lu)", name, baud,
                      static_cast<unsigned long>(rec->handle->LastError()));
        return false;
    }
    ReportDebug(ctx, "Opened %s at %u baud", name, baud);
    // The new device knows nothing of earlier time-outs: set it even when
    // readTimeout already holds the value.
    ApplyReadTimeout(ctx, *rec, timeoutMs);
    return true;
}

bool ComSetBaudRate(Session& ctx, uint32_t port, uint32_t baud) {
    PortRecord* rec = Record(ctx, port);
    if (rec == nullptr) return false;
    // A closed port's configuration cannot be read either.
    platform::LineSettings current;
    if (rec->handle == nullptr || !rec->handle->GetSettings(current)) {
        const uint32_t error =
            rec->handle != nullptr ? rec->handle->LastError() : static_cast<uint32_t>(EBADF);
        ReportMessage(ctx, 2, "Error: GetCommState FAILED (%lu)", static_cast<unsigned long>(error));
        return false;
    }
    if (!IsAcceptedBaud(baud)) return false;

    // The whole configuration, whatever the port held before: 8 data bits, no
    // parity, one stop bit, no flow control of any kind, DTR and RTS on.
    platform::LineSettings settings;
    settings.baud = baud;
    settings.dataBits = 8;
    settings.parity = platform::Parity::None;
    settings.stopBits = platform::StopBits::One;
    settings.dtr = true;
    settings.rts = true;
    settings.ctsFlow = false;
    settings.dsrFlow = false;
    settings.xonXoff = false;
    if (!rec->handle->SetSettings(settings)) return false;
    rec->pcBaud = baud;
    return true;
}

uint32_t ComSetTimeout(Session& ctx, uint32_t port, uint32_t timeoutMs) {
    PortRecord* rec = Record(ctx, port);
    if (rec == nullptr) return 0;
    if (timeoutMs == rec->readTimeout) return timeoutMs;
    return ApplyReadTimeout(ctx, *rec, timeoutMs);
}

void ComSetNonBlocking(Session& ctx, uint32_t port, bool on) {
    PortRecord* rec = Record(ctx, port);
    if (rec == nullptr || rec->handle == nullptr || rec->nonBlocking == on) return;
    if (on) {
        if (!rec->handle->GetTimeouts(rec->savedTimeouts)) {
            // Unreadable: come back to what ComSetTimeout set.
            rec->savedTimeouts = platform::CommTimeouts{0, 0, rec->readTimeout, 0, 0};
        }
        rec->nonBlocking = true;
        rec->handle->SetTimeouts(platform::CommTimeouts{0xFFFFFFFFu, 0, 0, 0, 0});
    } else {
        rec->nonBlocking = false;
        rec->handle->SetTimeouts(rec->savedTimeouts);
    }
}

bool ComFlushInput(Session& ctx, uint32_t port) {
    uint8_t byte = 0;
    uint32_t received = 0;
    bool result = true;
    // Bounded for a line that never goes quiet, and left on an abort request.
    for (uint32_t discarded = 0; discarded < kComFlushLimit; ++discarded) {
        result = ComRead(ctx, port, &byte, 1, received);
        if (received == 0 || IsAbortRequested(ctx)) break;
    }
    return result;
}

bool ComRead(Session& ctx, uint32_t port, uint8_t* buffer, uint32_t count, uint32_t& received) {
    received = 0;
    platform::SerialPort* handle = OpenPort(ctx, port);
    if (handle == nullptr || (buffer == nullptr && count != 0)) return false;
    // One call is one read request, overlapped or not.
    const bool ok = handle->Read(std::span<uint8_t>(buffer, count), received);
    received = std::min(received, count);
    return ok;
}

bool ComWrite(Session& ctx, uint32_t port, const uint8_t* buffer, uint32_t count, uint32_t& sent) {
    sent = 0;
    platform::SerialPort* handle = OpenPort(ctx, port);
    if (handle == nullptr || (buffer == nullptr && count != 0)) return false;
    if (ctx.overlappedIo) {
        // One request for the whole buffer.
        const bool ok = handle->Write(std::span<const uint8_t>(buffer, count), sent);
        sent = std::min(sent, count);
        return ok;
    }
    while (sent < count) {
        const uint32_t piece = std::min(kComWritePiece, count - sent);
        uint32_t written = 0;
        const bool ok = handle->Write(std::span<const uint8_t>(buffer + sent, piece), written);
        written = std::min(written, piece);
        sent += written;
        // A write that moves nothing would repeat for ever.
        if (!ok || written == 0) return false;
    }
    return true;
}

void ComClose(Session& ctx, uint32_t port) {
    PortRecord* rec = Record(ctx, port);
    if (rec == nullptr || rec->handle == nullptr) return;
    rec->handle.reset();
    rec->nonBlocking = false;
}

void ComCloseAll(Session& ctx) {
    // Every record, not only the first portCount: a record beyond the count
    // that holds a port is closed too; a closed one is left alone.
    for (uint32_t port = 0; port < std::size(ctx.ports); ++port) ComClose(ctx, port);
}

uint32_t SendFinishByte(Session& ctx) {
    static constexpr uint8_t kFinishByte = 'o';
    uint32_t sent = 0;
    if (!ComWrite(ctx, ctx.activePort, &kFinishByte, 1, sent) || sent != 1) return ERR_PROTOCOL;
    return SUCCESS;
}

}  // namespace flashwire
