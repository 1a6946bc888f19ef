// The service's log: one line per event on stderr, with the journal's priority prefix
// ("<6>kalvix3d: ..."), each line written with a single write so lines never interleave.
#pragma once

#include <string>

namespace kalvix3d {

enum class Priority { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

void logLine(Priority priority, const std::string &text);

} // namespace kalvix3d
