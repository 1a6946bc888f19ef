#include "recv/init_sequences.h"

#include "main/device_kinds.h"

namespace kalvix3 {

namespace {
constexpr InitSequence kAlex128{0, {"ATG41=0", "ATG42=0"}, 2};
constexpr InitSequence kAlexTd{0, {"ATG41=0", "ATG42=0", "ATG55=0"}, 3};
constexpr InitSequence kCallerIdOnThreeChannels{0, {"AT$A16=1", "AT$B16=1", "AT$C16=1"}, 3};
constexpr InitSequence kInsMateSmall{0, {"AT$D12=0"}, 1};
constexpr InitSequence kMn128{500, {"ATZ", "AT&F!T2W3", "AT#H1"}, 3};
} // namespace

const InitSequence *initSequenceFor(int32_t kind) {
    switch (kind) {
    case 10:
        return &kAlex128;
    case 18: case 21: case 71:
        return &kCallerIdOnThreeChannels; // INSメイト V-70DSU, V70MAX, V70G-MAX
    case 13: case 16: case 17: case 20: case 70:
        return &kInsMateSmall;
    case 50:
        return &kMn128;
    default:
        break;
    }
    switch (familyOf(kind)) {
    case Family::Alexon:
        return &kAlexTd;
    case Family::AtermSerial:
        return &kCallerIdOnThreeChannels;
    default:
        return nullptr;
    }
}

} // namespace kalvix3
