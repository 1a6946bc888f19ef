// The digit text of a number to dial: only the bytes '0' to '9' of the caller's text are kept.
#pragma once

#include <cstddef>

#include "kalvix3.h"

namespace kalvix3 {

inline constexpr size_t kMaxDialDigits = KALVIX3_MAX_DIAL_DIGITS;

struct DigitText {
    char digits[20] = {}; // at most 19 digits and a zero
    size_t length = 0;
    bool tooLong = false; // the text held more than 19 digits: nothing is dialed
};

// Keeps the digits of a zero-terminated text (null gives an empty text). A number of more than
// 19 digits is not cut: a shortened number would ring somebody else, so tooLong is set.
DigitText digitTextOf(const char *phoneNumber);

} // namespace kalvix3
