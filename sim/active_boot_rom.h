// The active boot ROM: announces itself with 'O' until the PC answers with
// the rate pattern, confirms the rate, then takes the RAM image in numbered
// 4096-byte blocks with their checksums and runs it after the end block.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/loader_image.h"
#include "sim/program.h"

namespace flashwire::sim {

class ActiveBootRom final : public Program {
public:
    static constexpr unsigned kPatternLength = 10;  // 'r' bytes of the rate pattern
    static constexpr uint32_t kBlockSize = 4096;

    ActiveBootRom(PhoneBus& bus, uint64_t startUs);
    Stage stage() const override { return Stage::ActiveBootRom; }
    void OnByte(unsigned uart, uint64_t us, uint8_t byte) override;
    uint64_t NextTimerUs() const override;
    void OnTimer(uint64_t us) override;

private:
    enum class State : uint8_t { Announcing, Confirming, BlockNumber, BlockData, Checksum, Done };
    void SendBlockAck(uint64_t us, uint16_t block);
    void AnswerRatePattern(uint64_t us);
    void CheckBlock(uint64_t us);
    uint64_t ByteUs() const;

    PhoneBus& bus_;
    const PhoneConfig& cfg_;
    unsigned uart_;
    State state_ = State::Announcing;
    uint64_t startUs_;
    uint64_t nextAnnounceUs_;
    unsigned rCount_ = 0;
    uint64_t confirmAtUs_ = kNever;  // the quiet gap after "rr" ends here
    uint64_t giveUpAtUs_ = kNever;   // Confirming: back to announcing unless a byte comes
    uint64_t lastByteUs_ = 0;
    std::vector<uint8_t> field_;     // bytes of 'b'/'c' with their two bytes
    uint16_t block_ = 0;
    std::vector<uint8_t> data_;
    RamLoad ram_;
    uint32_t highestBlock_ = 0;
    bool anyBlock_ = false;
};

}  // namespace flashwire::sim
