#include "loader/uart_probe.h"

#include "session/reporting.h"
#include "serial/com_port.h"

namespace flashwire {

uint32_t ProbeUart(JobState& ctx, uint32_t port) {
    static constexpr uint8_t kProbe = '*';
    const uint32_t start = ctx.clock().Ticks();
    for (;;) {
        uint32_t sent = 0;
        uint8_t byte = 0;
        uint32_t received = 0;
        ComWrite(ctx, port, &kProbe, 1, sent);
        if (ComRead(ctx, port, &byte, 1, received) && received == 1 && byte == '#' &&
            ComRead(ctx, port, &byte, 1, received) && received == 1 && (byte == 'A' || byte == 'B')) {
            ctx.ports[port].uartNumber = byte == 'A' ? 0 : 1;
            return SUCCESS;
        }
        if (IsAbortRequested(ctx)) return ERR_ABORT;
        if (ctx.clock().Ticks() - start >= kUartProbeMs) return ERR_TIMEOUT;
    }
}

}  // namespace flashwire
