// No memmem in the Windows C library: the standard library's search.
#include "platform/text_search.h"

namespace kalvix3d::platform {

const char *findText(const char *text, std::size_t size, std::string_view needle) {
    std::size_t at = std::string_view(text, size).find(needle);
    return at == std::string_view::npos ? nullptr : text + at;
}

} // namespace kalvix3d::platform
