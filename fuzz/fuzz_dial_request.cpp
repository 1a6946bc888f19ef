// Dial requests from arbitrary number text and telephone ports: the digit text, the USB dial
// request (kinds 32, 34) and the TA dial request (kinds 36, 38, 40, 42). Input: the port as a
// little-endian 32-bit value, then the number text (it ends at its first zero byte).
#include <cstring>
#include <optional>
#include <string>

#include "main/usb_access.h"

using namespace kalvix3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4)
        return 0;
    uint32_t raw = 0;
    std::memcpy(&raw, data, 4);
    auto telPort = static_cast<int32_t>(raw);
    std::string text(reinterpret_cast<const char *>(data + 4), size - 4);
    DigitText digits = digitTextOf(text.c_str());

    std::optional<itusb::UsbDialRequest> usb = usbDialRequestFor(digits, telPort);
    std::optional<itusb::TaDialRequest> ta = taDialRequestFor(digits, telPort);
    bool sendable = telPort >= 1 && telPort <= 3 && !digits.tooLong;
    if (usb.has_value() != sendable || ta.has_value() != sendable)
        __builtin_trap();
    if (!sendable)
        return 0;

    // The USB request: marker, count, the digit values packed high nibble first, zeros after,
    // and the port's bit.
    static const uint8_t kPortBits[] = {0x01, 0x04, 0x10};
    if (usb->marker != 8 || usb->digitCount != digits.length ||
        usb->portBit != kPortBits[telPort - 1])
        __builtin_trap();
    for (size_t k = 0; k < 2 * sizeof usb->digits; ++k) {
        uint8_t nibble = itusb::packedDigit(usb->digits, k);
        uint8_t wanted = k < digits.length ? static_cast<uint8_t>(digits.digits[k] - '0') : 0;
        if (nibble != wanted)
            __builtin_trap();
    }
    // The TA request: count, the digit characters, zeros after, the port's index.
    if (ta->digitCount != digits.length || ta->portIndex != telPort - 1 ||
        std::memcmp(ta->digits, digits.digits, digits.length) != 0)
        __builtin_trap();
    for (size_t i = digits.length; i < sizeof ta->digits; ++i)
        if (ta->digits[i] != 0)
            __builtin_trap();
    return 0;
}
