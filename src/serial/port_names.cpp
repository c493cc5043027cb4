// The names of the ports in messages: "COM1" for port number 0 up to "COM12".
#include "serial/com_port.h"

namespace flashwire {

const char ComPortNames[kComPortCount][6] = {
    "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10", "COM11", "COM12",
};

const char* ComPortName(uint32_t portNumber) {
    return portNumber < kComPortCount ? ComPortNames[portNumber] : "COM?";
}

}  // namespace flashwire
