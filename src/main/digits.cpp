#include "main/digits.h"

namespace kalvix3 {

DigitText digitTextOf(const char *phoneNumber) {
    DigitText text;
    if (phoneNumber == nullptr)
        return text;
    for (const char *p = phoneNumber; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            continue;
        if (text.length == kMaxDialDigits) {
            text.tooLong = true;
            text.digits[0] = '\0';
            text.length = 0;
            return text;
        }
        text.digits[text.length++] = *p;
    }
    return text;
}

} // namespace kalvix3
