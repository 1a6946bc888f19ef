// The first place of `needle` in `text`, or nullptr: the number filter's search through every
// number the log holds. The C library's own search (memmem) is two to three times faster than
// the standard library's where there is one; each system uses the best it has.
#pragma once

#include <cstddef>
#include <string_view>

namespace kalvix3d::platform {

const char *findText(const char *text, std::size_t size, std::string_view needle);

} // namespace kalvix3d::platform
