// The service's log: one line per event, with its priority, wherever the system keeps a
// service's log (platform/system.h: stderr with the journal's prefix "<6>kalvix3d: " on Linux).
// A line is written whole, so lines of several threads never interleave. From any thread.
#pragma once

#include <string>

namespace kalvix3d {

enum class Priority { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

void logLine(Priority priority, const std::string &text);

} // namespace kalvix3d
