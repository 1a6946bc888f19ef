#include "platform/clock.h"

namespace kalvix3d::platform {

int utcOffsetMinutes(std::time_t when) {
    std::tm parts{};
    localtime_r(&when, &parts);
    return static_cast<int>(parts.tm_gmtoff / 60);
}

} // namespace kalvix3d::platform
