// The caller-number text a USB adapter's record gives: digits, a reason letter, or nothing.
#pragma once

#include <cstddef>

namespace kalvix3::itusb {

// The longest caller-number text a notification carries; longer numbers keep their first 20.
inline constexpr size_t kMaxCallerText = 20;

struct CallerText {
    char text[kMaxCallerText + 1] = {}; // always zero-terminated
    bool empty() const { return text[0] == '\0'; }
};

} // namespace kalvix3::itusb
