// What an OpenCommLineEx result means, in the service's words. Device text as UTF-8
// (utf8FromCp932) and the reason words for a caller letter are the call store's, shared with
// `kalvix3 log` and the command-line host.
#pragma once

#include <cstdint>
#include <string>

#include "store/call_store.h"

namespace kalvix3d {

std::string openResultInWords(int32_t code);

} // namespace kalvix3d
