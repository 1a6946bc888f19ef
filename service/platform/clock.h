// The local time's offset from UTC at a moment (+540 in Japan), as the system's time zone
// says: each call keeps it, so the log shows the wall-clock time where the call rang.
#pragma once

#include <ctime>

namespace kalvix3d::platform {

int utcOffsetMinutes(std::time_t when); // minutes east of UTC

} // namespace kalvix3d::platform
