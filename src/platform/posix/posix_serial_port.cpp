// Placeholder until the termios port layer lands: no port opens.
#include <cerrno>

#include "platform/posix/posix_services.h"

namespace flashwire::platform::posix {
namespace {
class NoPorts final : public SerialProvider {
public:
    std::unique_ptr<SerialPort> Open(uint32_t, bool, uint32_t& systemError) override {
        systemError = ENOSYS;
        return nullptr;
    }
    void WriteConcurrently(std::span<StreamWrite>) override {}
};
}  // namespace
SerialProvider& PosixSerialPorts() {
    static NoPorts ports;
    return ports;
}
}  // namespace flashwire::platform::posix
