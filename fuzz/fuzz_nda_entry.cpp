// Arbitrary NDA history entries to history records.
#include <cstring>

#include "main/serial_history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t entry[36] = {};
    std::memcpy(entry, data, size < sizeof entry ? size : sizeof entry);
    HistoryRecord record;
    std::memset(&record, 0, sizeof record);
    char year[5] = "2026";
    bool filled = kalvix3::fillNdaRecord(entry, year, record);
    if (filled != (record.number[0] != '\0'))
        __builtin_trap();
    return 0;
}
