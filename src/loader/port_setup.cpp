#include "loader/port_setup.h"

#include "wire/le32.h"
#include "session/reporting.h"
#include "loader/fl_sync.h"
#include "loader/fl_tokens.h"
#include "loader/uart_probe.h"
#include "loader/command_exchange.h"
#include "serial/com_port.h"

namespace flashwire {
namespace {

const char* PortName(JobState& ctx, uint32_t port) { return ComPortName(ctx.plan.comPort[port & 1u]); }

// The fixed retry of both exchanges: one more try after a resynchronisation.
template <typename Exchange>
uint32_t TwoTries(JobState& ctx, const char* name, Exchange exchange) {
    uint32_t result = exchange();
    if (result == SUCCESS || result == ERR_ABORT) return result;
    if (IsAbortRequested(ctx)) return ERR_ABORT;
    ReportDebug(ctx, "Retry %u: %s", 1u, name);
    if (uint32_t synced = FLSync(ctx); synced != SUCCESS) {
        if (synced == ERR_ABORT) return ERR_ABORT;
        ReportDebug(ctx, "Failed to sync");
        return ERR_PROTOCOL;
    }
    result = exchange();
    if (result == SUCCESS || result == ERR_ABORT) return result;
    ReportDebug(ctx, "Giving up on %s", name);
    return ERR_TOO_MANY_RETRIES;
}

}  // namespace

uint32_t CheckConnection(JobState& ctx, uint32_t port) {
    ReportDebug(ctx, "CheckConnection(%s)", PortName(ctx, port));
    uint8_t payload[4];
    StoreLe32(kCheckConnectionWord, payload);
    return SendLoaderCommand(ctx, FL_CMD_CHKC, payload, kCheckConnectionTimeoutMs);
}

uint32_t CheckConnectionWithRetries(JobState& ctx, uint32_t port) {
    const uint32_t exchanged = TwoTries(ctx, "CheckConnection", [&] { return CheckConnection(ctx, port); });
    // An abort still leads into the probe, which then ends at its first unanswered try.
    if (exchanged != SUCCESS && exchanged != ERR_ABORT) return exchanged;

    PortRecord& rec = ctx.ports[port];
    rec.uartNumber = kUartUnknown;
    const uint32_t previous = ComSetTimeout(ctx, port, 10);
    ComSetNonBlocking(ctx, port, true);
    const uint32_t probed = ProbeUart(ctx, port);
    ComSetNonBlocking(ctx, port, false);
    ComSetTimeout(ctx, port, previous);
    if (probed != SUCCESS) return probed;
    ReportDebug(ctx, "%s is connected to UART%u", PortName(ctx, port), rec.uartNumber);
    return SUCCESS;
}

uint32_t BaudRate(JobState& ctx, uint32_t port, uint32_t baud) {
    uint8_t payload[8];
    StoreLe32(ctx.ports[port].uartNumber, payload);
    StoreLe32(baud, payload + 4);
    return SendLoaderCommand(ctx, FL_CMD_BAUD, payload, kBaudTimeoutMs);
}

uint32_t BaudRateWithRetries(JobState& ctx, uint32_t commandPort, uint32_t port, uint32_t baud) {
    const uint32_t result = TwoTries(ctx, "BaudRate", [&] { return BaudRate(ctx, port, baud); });
    if (result != SUCCESS) return result;
    if (!ComSetBaudRate(ctx, port, baud)) return ERR_COM;
    ReportDebug(ctx, "%s: baud rate set to %lu", PortName(ctx, port), static_cast<unsigned long>(baud));
    // Each port keeps its own rate: the command port's decides the jobs'
    // block sizes, so another port's switch must not change it.
    ctx.ports[port].currentBaud = baud;
    ctx.clock().Sleep(kBaudSettleMs);
    if (port == commandPort) return FLSync(ctx);
    return SUCCESS;
}

}  // namespace flashwire
