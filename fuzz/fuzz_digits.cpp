// Arbitrary number text to the digit text of a dial.
#include <cstring>
#include <string>

#include "main/digits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    kalvix3::DigitText digits = kalvix3::digitTextOf(text.c_str());
    size_t length = strnlen(digits.digits, sizeof digits.digits);
    if (length != digits.length || length > kalvix3::kMaxDialDigits ||
        (digits.tooLong && length != 0))
        __builtin_trap();
    for (size_t i = 0; i < length; ++i)
        if (digits.digits[i] < '0' || digits.digits[i] > '9')
            __builtin_trap();
    return 0;
}
