#include "boot/active_boot_loader.h"

#include <array>

#include "boot/protocol_error.h"
#include "boot/ram_blocks.h"
#include "session/reporting.h"
#include "serial/com_port.h"

namespace flashwire {
namespace {

constexpr uint8_t ANNOUNCEMENT = 'O';
constexpr uint8_t RATE_BYTE = 'r';
constexpr uint8_t RATE_PATTERN_ACK = 'K';
constexpr uint8_t RATE_ACK = 'Z';
constexpr uint8_t RATE_ACK_2 = 'E';

constexpr uint32_t kAnnouncementTimeoutMs = 500;
constexpr uint32_t kUnattendedReads = 100;

enum class State { WaitAnnouncement, RatePattern, RateConfirmation, WaitRateAck, LoadRam };

bool ReadByte(JobState& ctx, uint8_t& byte) {
    uint32_t received = 0;
    return ComRead(ctx, ctx.activePort, &byte, 1, received) && received == 1;
}

// State 4: waits for 'Z' and then expects 'E'.
uint32_t AwaitRateAck(JobState& ctx, bool unattended) {
    const char* waiting = "Waiting for the mobile's response ...";
    ReportMessage(ctx, 0, "%s", waiting);
    ReportStatus(ctx, waiting);

    uint32_t reads = 0;
    for (;;) {
        uint8_t byte = 0;
        const bool got = ReadByte(ctx, byte);
        if (IsAbortRequested(ctx)) return ERR_ABORT;
        if (unattended && ++reads >= kUnattendedReads) {
            const char* late = "Mobile didn't respond in time";
            ReportMessage(ctx, 0, "%s", late);
            ReportStatus(ctx, late);
            return ERR_PROTOCOL;
        }
        if (got && byte == RATE_ACK) break;
    }

    uint8_t byte = 0;
    if (!ReadByte(ctx, byte)) return ERR_PROTOCOL;
    if (byte != RATE_ACK_2) {
        ReportProtocolError(ctx, "RATE_ACK_2", RATE_ACK_2, byte);
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

}  // namespace

uint32_t TalkToActiveBootloader(JobState& ctx) {
    ReportDebug(ctx, "Talking to active bootloader");
    // Refuse an image that cannot be sent before asking anything of the phone.
    uint32_t blockCount = 0;
    if (uint32_t rc = CheckRamBlockImage(ctx, blockCount); rc != SUCCESS) return rc;

    const uint32_t port = ctx.activePort;
    const bool unattended = ctx.plan.unattended;
    const uint32_t previousTimeout = ComSetTimeout(ctx, port, kAnnouncementTimeoutMs);

    State state = State::WaitAnnouncement;
    for (;;) {
        if (IsAbortRequested(ctx)) return ERR_ABORT;
        switch (state) {
            case State::WaitAnnouncement: {
                // No limit: the phone is being switched on meanwhile.
                uint8_t byte = 0;
                if (!ReadByte(ctx, byte) || byte != ANNOUNCEMENT) break;
                state = State::RatePattern;
                [[fallthrough]];
            }
            case State::RatePattern: {
                std::array<uint8_t, 10> pattern;
                pattern.fill(RATE_BYTE);
                uint32_t sent = 0;
                ComWrite(ctx, port, pattern.data(), static_cast<uint32_t>(pattern.size()), sent);
                ComSetTimeout(ctx, port, previousTimeout);
                uint8_t byte = 0;
                if (!ReadByte(ctx, byte)) break;  // silence: the pattern goes out again
                state = byte == RATE_PATTERN_ACK ? State::RateConfirmation : State::WaitAnnouncement;
                break;
            }
            case State::RateConfirmation: {
                const uint8_t confirmation[2] = {RATE_BYTE, RATE_BYTE};
                uint32_t sent = 0;
                if (!ComWrite(ctx, port, confirmation, 2, sent) || sent != 2) return ERR_PROTOCOL;
                state = State::WaitRateAck;
                [[fallthrough]];
            }
            case State::WaitRateAck: {
                if (uint32_t rc = AwaitRateAck(ctx, unattended); rc != SUCCESS) return rc;
                state = State::LoadRam;
                [[fallthrough]];
            }
            case State::LoadRam:
                return LoadRamBlocks(ctx);
        }
    }
}

}  // namespace flashwire
