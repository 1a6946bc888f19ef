// A small file replaced whole, so that a crash or a power cut leaves the old text or the new,
// never an empty or a torn file: written beside it, flushed to the disk, renamed over it, and
// the rename itself made durable.
#pragma once

#include <string>

namespace kalvix3d::platform {

// "" when done, else why not (the old file is then as it was).
std::string replaceFileDurably(const std::string &path, const std::string &text);

} // namespace kalvix3d::platform
