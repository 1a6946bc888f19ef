// The AT command sequences that switch terminal adapters and the MN128 into caller-ID
// reporting when their line starts. Replies are never read: each is purged.
#pragma once

#include <cstdint>

namespace kalvix3 {

struct InitSequence {
    uint32_t pauseBeforeMs;  // 500 ms for the MN128, else 0
    const char *commands[3]; // without line end
    int commandCount;
};

// The sequence of a device kind, or null for kinds that get none (1 to 8).
const InitSequence *initSequenceFor(int32_t kind);

inline constexpr uint32_t kCommandPauseMs = 100;

} // namespace kalvix3
