// FlashMapPort: lets the host choose which device a port number opens.
#include "flashwire/flash_api.h"
#include "platform/platform.h"

extern "C" FLASHWIRE_EXPORT uint32_t FlashMapPort(uint32_t portNumber, const char* devicePath) {
    return flashwire::platform::MapSerialDevice(portNumber, devicePath) ? SUCCESS : ERR_BAD_PARAMS;
}
