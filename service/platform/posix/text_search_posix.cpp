#include "platform/text_search.h"

#include <string.h>

namespace kalvix3d::platform {

const char *findText(const char *text, std::size_t size, std::string_view needle) {
    return static_cast<const char *>(memmem(text, size, needle.data(), needle.size()));
}

} // namespace kalvix3d::platform
