// The protocol thread's stack of saved thread priorities.
#include "session/session.h"

namespace flashwire {

void PushThreadPriority(Session& ctx, int priority) {
    PriorityStack& stack = ctx.priorityStack;
    platform::Threading* threading = ctx.services.threading;
    if (stack.depth >= kPriorityStackSize) {
        // Full: the push is ignored (and so is the pop that pairs with it).
        ++stack.overflow;
        return;
    }
    stack.saved[stack.depth] = threading ? threading->CurrentPriority() : platform::kPriorityNormal;
    ++stack.depth;
    if (threading) threading->SetCurrentPriority(priority);
}

void PopThreadPriority(Session& ctx) {
    PriorityStack& stack = ctx.priorityStack;
    if (stack.overflow > 0) {
        --stack.overflow;
        return;
    }
    if (stack.depth == 0) return;
    --stack.depth;
    if (ctx.services.threading) ctx.services.threading->SetCurrentPriority(stack.saved[stack.depth]);
}

}  // namespace flashwire
