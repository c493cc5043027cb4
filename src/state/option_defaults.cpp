// The defaults of the options record.
#include "state/job_plan.h"

namespace flashwire {

void SetDefaultOptions(FlashOptions& options) {
    options.platform[0] = 0;
    options.file[0] = 0;
    options.saveFile[0] = 0;
    options.comPort[0] = FLASH_PORT_UNUSED;
    options.comPort[1] = FLASH_PORT_UNUSED;
    options.maxSpeed[0] = 1;
    options.maxSpeed[1] = 1;
    options.mode = 0;
    options.erasePasses = 1;
    options.phases = 0;
    options.reservedCount = 0;
    options.readCount = 0;
    // The range arrays keep whatever they hold; the counts say none is used.
    options.debug = 0;
    options.eraseUnused = 0;
    options.extProtect = 0;
    options.noRetry = 0;
    options.unattended = 0;
    options.diff = 1;
}

}  // namespace flashwire
