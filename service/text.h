// The service's words: device text (code page 932) as UTF-8, and what an OpenCommLineEx result
// means. The reason words for a caller letter are the call store's (kalvix3d::reasonInWords),
// shared with `kalvix3 log`.
#pragma once

#include <cstdint>
#include <string>

namespace kalvix3d {

std::string utf8FromCp932(const std::string &bytes); // an invalid byte becomes U+FFFD
std::string openResultInWords(int32_t code);

} // namespace kalvix3d
