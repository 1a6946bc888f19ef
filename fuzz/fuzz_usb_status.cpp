// Caller status records of the polled USB adapters (kinds 32, 34): whether a record names a new
// caller against the last one, and the text it gives. Input: the current record, then the
// baseline (each 43 bytes, zero-filled when the input is short).
#include <algorithm>
#include <cstring>

#include "recvusb/recv_usb_thread.h"

using namespace kalvix3;
using itusb::CallerStatusRecord;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CallerStatusRecord current{};
    CallerStatusRecord baseline{};
    size_t first = std::min(size, sizeof current);
    std::memcpy(&current, data, first);
    std::memcpy(&baseline, data + first, std::min(size - first, sizeof baseline));

    // A record is never new against itself, and only a record flagged 1 is ever reported.
    if (namesNewCaller(current, current) || namesNewCaller(baseline, baseline))
        __builtin_trap();
    if (namesNewCaller(current, baseline) && current.reportFlag != 1)
        __builtin_trap();

    itusb::CallerText text = callerTextOf(current);
    size_t length = strnlen(text.text, sizeof text.text);
    if (length > itusb::kMaxCallerText)
        __builtin_trap();
    switch (current.reason) {
    case itusb::kReasonNumber:
        if (length != std::min<size_t>(current.digitCount, itusb::kMaxCallerText))
            __builtin_trap();
        for (size_t i = 0; i < length; ++i)
            if (text.text[i] < '0' || text.text[i] > '?')
                __builtin_trap();
        break;
    case itusb::kReasonWithheld:
        if (std::strcmp(text.text, "P") != 0)
            __builtin_trap();
        break;
    case itusb::kReasonPublicPhone:
        if (std::strcmp(text.text, "C") != 0)
            __builtin_trap();
        break;
    case itusb::kReasonOutOfArea:
    case itusb::kReasonNoNumber:
    case itusb::kReasonUnavailable:
        if (length != 0 && std::strcmp(text.text, "O") != 0)
            __builtin_trap();
        break;
    default:
        if (length != 0)
            __builtin_trap();
    }
    return 0;
}
