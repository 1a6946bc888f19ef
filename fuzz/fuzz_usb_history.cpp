// History entries of the USB adapters to history records: a page entry (kinds 32, 34) or a
// buffer entry (kinds 36, 38, 40, 42). Input: a selector byte, then the entry (zero-filled when
// short). The record is written whole or not at all.
#include <algorithm>
#include <cstring>

#include "main/usb_access.h"

using namespace kalvix3;

namespace {

constexpr uint8_t kGuard = 0xA5;

// Characters of a BCD conversion: '0' plus a nibble.
bool convertedDigits(const char *text, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (text[i] < '0' || text[i] > '?')
            return false;
    return true;
}

void checkRecord(EntryResult result, const HistoryRecord &record) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
    if (result != EntryResult::Record) {
        for (size_t i = 0; i < sizeof record; ++i)
            if (bytes[i] != kGuard)
                __builtin_trap();
        return;
    }
    if (record.number[0] == '\0' || !convertedDigits(record.date, 8) ||
        !convertedDigits(record.time, 6))
        __builtin_trap();
    // The bytes no reader writes stay zero in a record built whole.
    if (record.date[8] != 0 || record.date[9] != 0 || record.time[6] != 0 || record.time[7] != 0)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    bool page = (data[0] & 1) == 0;
    ++data;
    --size;
    HistoryRecord record;
    std::memset(&record, kGuard, sizeof record);
    if (page) {
        itusb::HistoryPageEntry entry{};
        std::memcpy(&entry, data, std::min(size, sizeof entry));
        EntryResult result = readPageEntry(entry, record);
        if ((result == EntryResult::EndOfList) != (entry.reason == itusb::kReasonEndOfList))
            __builtin_trap();
        checkRecord(result, record);
        if (result == EntryResult::Record && entry.reason == itusb::kReasonNumber &&
            (strnlen(record.number, sizeof record.number) !=
                 std::min<size_t>(entry.digitCount, sizeof record.number) ||
             !convertedDigits(record.number, strnlen(record.number, sizeof record.number))))
            __builtin_trap();
    } else {
        itusb::HistoryBufferEntry entry{};
        std::memcpy(&entry, data, std::min(size, sizeof entry));
        EntryResult result = readBufferEntry(entry, record);
        if (entry.valid != 1 && result != EntryResult::NoRecord)
            __builtin_trap();
        checkRecord(result, record);
        if (result == EntryResult::Record && entry.reason == itusb::kReasonNumber &&
            std::memcmp(record.number, entry.number, sizeof entry.number) != 0)
            __builtin_trap();
    }
    return 0;
}
