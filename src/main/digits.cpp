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
            DigitText refused;
            refused.tooLong = true;
            return refused;
        }
        text.digits[text.length++] = *p;
    }
    return text;
}

} // namespace kalvix3
