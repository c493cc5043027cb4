// The active boot ROM's handshake and block loading.
#include "sim/active_boot_rom.h"

#include <algorithm>

#include "sim/frame_codec.h"

namespace flashwire::sim {

ActiveBootRom::ActiveBootRom(PhoneBus& bus, uint64_t startUs)
    : bus_(bus), cfg_(bus.config()), uart_(cfg_.active.uart & 1u), startUs_(startUs),
      nextAnnounceUs_(startUs) {}

uint64_t ActiveBootRom::ByteUs() const { return 10'000'000ull / cfg_.initialBaud + 1; }

uint64_t ActiveBootRom::NextTimerUs() const {
    uint64_t t = kNever;
    if (state_ == State::Announcing) {
        const bool windowOpen = cfg_.active.announceWindowUs == 0 ||
                                nextAnnounceUs_ < startUs_ + cfg_.active.announceWindowUs;
        if (windowOpen) t = nextAnnounceUs_;
    }
    if (state_ == State::Confirming) t = std::min({t, confirmAtUs_, giveUpAtUs_});
    return t;
}

void ActiveBootRom::OnTimer(uint64_t us) {
    if (state_ == State::Announcing && us >= nextAnnounceUs_) {
        bus_.Send(uart_, us, "O", {'O'});
        nextAnnounceUs_ = us + std::max<uint64_t>(cfg_.active.announceIntervalUs, 1);
    }
    if (state_ == State::Confirming && us >= confirmAtUs_) {
        confirmAtUs_ = kNever;
        if (rCount_ == 2) {
            bus_.Record({Stage::ActiveBootRom, uart_, "rr", {}, lastByteUs_, true});
            const uint64_t t = bus_.Send(uart_, us + cfg_.timing.replyLatencyUs, "ZE", {'Z', 'E'});
            bus_.Send(uart_, t + 1000, "R", {'R'});
            state_ = State::BlockNumber;
            giveUpAtUs_ = kNever;
        }
        rCount_ = 0;
    }
    if (state_ == State::Confirming && us >= giveUpAtUs_) {
        // No confirmation came: announce again, as after power-on.
        state_ = State::Announcing;
        rCount_ = 0;
        confirmAtUs_ = kNever;
        giveUpAtUs_ = kNever;
        startUs_ = us;
        nextAnnounceUs_ = us;
    }
}

void ActiveBootRom::AnswerRatePattern(uint64_t us) {
    rCount_ = 0;
    confirmAtUs_ = kNever;
    bus_.Record({Stage::ActiveBootRom, uart_, "rate", {}, us, true});
    const uint64_t sent = bus_.Send(uart_, us + cfg_.timing.replyLatencyUs, "K", {'K'});
    state_ = State::Confirming;
    giveUpAtUs_ = std::max(sent, us) + std::max<uint64_t>(cfg_.active.confirmTimeoutUs, 1);
}

void ActiveBootRom::OnByte(unsigned uart, uint64_t us, uint8_t byte) {
    if (uart != uart_) return;
    const bool quietBefore = us - lastByteUs_ > cfg_.timing.frameIdleResetUs;
    lastByteUs_ = us;
    switch (state_) {
    case State::Announcing:
        rCount_ = byte == 'r' ? rCount_ + 1 : 0;
        if (rCount_ == kPatternLength) AnswerRatePattern(us);
        return;
    case State::Confirming:
        // "rr" confirms once the line stays quiet for a few byte times; a run
        // of ten 'r' is the rate pattern again (the PC missed the 'K').
        giveUpAtUs_ = us + std::max<uint64_t>(cfg_.active.confirmTimeoutUs, 1);
        if (byte != 'r') {
            rCount_ = 0;
            confirmAtUs_ = kNever;
            return;
        }
        ++rCount_;
        if (rCount_ == kPatternLength) AnswerRatePattern(us);
        else confirmAtUs_ = us + 3 * ByteUs();
        return;
    case State::BlockNumber:
    case State::BlockData:
    case State::Checksum:
        if (quietBefore && state_ != State::BlockNumber) {
            // A block left unfinished: start over with a block number.
            state_ = State::BlockNumber;
            field_.clear();
            data_.clear();
        }
        break;
    case State::Done:
        return;
    }

    if (state_ == State::BlockNumber) {
        if (field_.empty() && byte != 'b') return;  // waits for 'b'
        field_.push_back(byte);
        if (field_.size() < 3) return;
        const uint16_t k = static_cast<uint16_t>(field_[1] << 8 | field_[2]);
        field_.clear();
        bus_.Record({Stage::ActiveBootRom, uart_, "b", {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)}, us, true});
        if (k == 0xFFFF) {
            const uint64_t t = bus_.Send(uart_, us + cfg_.timing.replyLatencyUs, "P", {'P'});
            state_ = State::Done;
            LoadedImage image;
            if (anyBlock_) {
                image = ram_.Image();
            }
            bus_.Run(std::move(image), t + cfg_.timing.loaderStartUs, Stage::ActiveBootRom);
            return;
        }
        SendBlockAck(us, k);
        block_ = k;
        data_.clear();
        data_.reserve(kBlockSize);
        state_ = State::BlockData;
        return;
    }
    if (state_ == State::BlockData) {
        data_.push_back(byte);
        if (data_.size() == kBlockSize) state_ = State::Checksum;
        return;
    }
    // Checksum: 'c' and two bytes.
    if (field_.empty() && byte != 'c') {
        // Not a checksum: the block is dropped, the ROM waits for a block number.
        state_ = State::BlockNumber;
        data_.clear();
        if (byte == 'b') field_.push_back(byte);
        return;
    }
    field_.push_back(byte);
    if (field_.size() < 3) return;
    CheckBlock(us);
}

void ActiveBootRom::SendBlockAck(uint64_t us, uint16_t block) {
    bus_.Send(uart_, us + cfg_.timing.replyLatencyUs, "B",
              {'B', static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block & 0xFF)});
}

void ActiveBootRom::CheckBlock(uint64_t us) {
    const uint16_t received = static_cast<uint16_t>(field_[1] << 8 | field_[2]);
    field_.clear();
    const uint16_t computed = BlockChecksum(data_);
    bus_.Record({Stage::ActiveBootRom, uart_, "c", {static_cast<uint8_t>(received >> 8), static_cast<uint8_t>(received)},
                 us, received == computed});
    const uint64_t at = us + cfg_.timing.replyLatencyUs;
    if (received != computed) {
        bus_.Send(uart_, at, "N", {'T', static_cast<uint8_t>(computed >> 8), static_cast<uint8_t>(computed & 0xFF)});
    } else if (block_ >= cfg_.active.ramBlocks) {
        // The block does not fit the RAM the ROM loads into.
        bus_.Send(uart_, at, "N", {'F', static_cast<uint8_t>(block_ >> 8), static_cast<uint8_t>(block_ & 0xFF)});
    } else {
        ram_.Write(static_cast<uint32_t>(block_) * kBlockSize, data_);
        anyBlock_ = true;
        highestBlock_ = std::max<uint32_t>(highestBlock_, block_);
        bus_.Send(uart_, at, "N", {'N'});
    }
    data_.clear();
    state_ = State::BlockNumber;
}

}  // namespace flashwire::sim
