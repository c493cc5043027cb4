// The protocol thread's stack of saved thread priorities.
#pragma once

#include <cstdint>

namespace flashwire {

struct Session;

inline constexpr uint32_t kPriorityStackSize = 10;

struct PriorityStack {
    int saved[kPriorityStackSize]{};
    uint32_t depth = 0;
    // Pushes beyond the ten entries: ignored, and their pops with them.
    uint32_t overflow = 0;

    void Reset() {
        depth = 0;
        overflow = 0;
    }
};

// Saves the calling thread's priority and sets a new one; pops restore it.
// Pushes and pops are paired on every path.
void PushThreadPriority(Session& session, int priority);
void PopThreadPriority(Session& session);

}  // namespace flashwire
