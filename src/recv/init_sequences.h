// The AT command sequences that switch terminal adapters and the MN128 into caller-ID
// reporting when their line starts. Replies are never read: each is purged. The kind table
// names the sequence of each kind (none for kinds 1 to 8).
#pragma once

#include <cstdint>

namespace kalvix3 {

struct InitSequence {
    uint32_t pauseBeforeMs;  // 500 ms for the MN128, else 0
    const char *commands[3]; // without line end
    int commandCount;
};

inline constexpr InitSequence kAlex128Init{0, {"ATG41=0", "ATG42=0"}, 2};
inline constexpr InitSequence kAlexonInit{0, {"ATG41=0", "ATG42=0", "ATG55=0"}, 3};
inline constexpr InitSequence kThreeChannelInit{0, {"AT$A16=1", "AT$B16=1", "AT$C16=1"}, 3};
inline constexpr InitSequence kInsMateSmallInit{0, {"AT$D12=0"}, 1};
inline constexpr InitSequence kMn128Init{500, {"ATZ", "AT&F!T2W3", "AT#H1"}, 3};

inline constexpr uint32_t kCommandPauseMs = 100;

} // namespace kalvix3
