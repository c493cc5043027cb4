#include "boot/talk_to_bootloader.h"

#include "boot/active_boot_loader.h"
#include "boot/passive_boot_loader.h"
#include "session/scoped_priority.h"
#include "boot/setup_loader.h"
#include "session/reporting.h"
#include "serial/com_port.h"

namespace flashwire {

uint32_t TalkToBootloader(JobState& ctx) {
    const uint32_t active = ctx.activePort < 2 ? ctx.activePort : 0;
    const uint32_t portNumber = ctx.plan.comPort[active];
    ReportDebug(ctx, "TalkToBootLoader (using %s)", ComPortName(portNumber));

    if (ctx.platform.activeBootLoader) return TalkToActiveBootloader(ctx);

    ScopedThreadPriority priority(ctx, platform::kPriorityHighest);
    uint32_t result = TalkToPassiveBootloader(ctx);
    if (result == SUCCESS && ctx.platform.setupLoaderNeeded) result = TalkToSetupLoader(ctx);
    return result;
}

}  // namespace flashwire
