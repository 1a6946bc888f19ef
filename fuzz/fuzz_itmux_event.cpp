// Event records of the multiplexed USB adapters (kinds 36, 38, 40, 42) to the caller text they
// give. Input: the 67-byte record (zero-filled when short).
#include <algorithm>
#include <cstring>

#include "recvitmux/recv_itmux_thread.h"

using namespace kalvix3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    itusb::EventRecord record{};
    std::memcpy(&record, data, std::min(size, sizeof record));
    itusb::CallerText text = callerTextOf(record);
    size_t length = strnlen(text.text, sizeof text.text);
    if (length > sizeof record.number)
        __builtin_trap();
    bool names = record.reportFlag == 1 && record.callerFlag == 1 &&
                 record.reason != itusb::kReasonEndOfList;
    if (!names && length != 0)
        __builtin_trap();
    if (names && record.reason == itusb::kReasonNumber &&
        (length != strnlen(record.number, sizeof record.number) ||
         std::memcmp(text.text, record.number, length) != 0))
        __builtin_trap();
    if (names && record.reason != itusb::kReasonNumber && length > 1)
        __builtin_trap();
    return 0;
}
