#include "loader/txdt_streams.h"

#include <array>

#include "wire/le32.h"
#include "image/region_list.h"
#include "serial/com_port.h"

namespace flashwire {

bool PlanTxdtStreams(JobState& ctx, std::span<const uint8_t> payload, TxdtStreams& out) {
    out = TxdtStreams{};
    if (payload.size() < kTxdtPayloadSize) return false;
    const uint32_t start = LoadLe32(payload.data());
    const uint32_t word = LoadLe32(payload.data() + 12);
    const uint32_t count = word & 0xFFFFu;
    const uint32_t bufferIndex = word >> 16;
    const RegionList& list = ctx.imageList();
    const uint32_t ports = ctx.overlappedIo ? ctx.portCount : 1;
    if (count > kMaxStreams || count > ports || bufferIndex >= list.bufferCount) return false;
    const MemoryRegion& buffer = list.buffers[bufferIndex];
    if (buffer.data == nullptr || start < buffer.first || start > buffer.last) return false;

    // Every stream must lie inside the buffer.
    const uint64_t available = static_cast<uint64_t>(buffer.last) - start + 1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = payload.data() + 16 + 16 * i;
        const uint64_t offset = LoadLe32(entry + 4);
        const uint64_t length = LoadLe32(entry + 8);
        if (offset + length > available) return false;
        out.streams[i] = std::span<const uint8_t>(buffer.data.get() + (start - buffer.first) + offset, length);
    }
    out.count = count;
    return true;
}

void SendTxdtStreams(JobState& ctx, const TxdtStreams& plan) {
    if (plan.count == 0) return;
    // No stream byte may reach the phone before the frame that announces it,
    // nor before its loader has had the gap to check the frame and arm its
    // receive: a loader that arms late loses what comes earlier.
    if (platform::SerialPort* command = ctx.ports[ctx.activePort].handle.get()) command->Drain();
    if (ctx.platform.streamGapMs > 0) ctx.clock().Sleep(ctx.platform.streamGapMs);

    if (!ctx.overlappedIo) {
        uint32_t sent = 0;
        ComWrite(ctx, 0, plan.streams[0].data(), static_cast<uint32_t>(plan.streams[0].size()), sent);
        return;
    }
    std::array<platform::StreamWrite, kMaxStreams> writes{};
    for (uint32_t i = 0; i < plan.count; ++i) {
        writes[i].port = ctx.ports[i].handle.get();
        writes[i].data = plan.streams[i];
    }
    if (ctx.services.serial != nullptr) ctx.services.serial->WriteConcurrently(std::span(writes).first(plan.count));
}

}  // namespace flashwire
