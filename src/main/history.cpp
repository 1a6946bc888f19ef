// Call history: dispatch by the slot's device kind, and the readers of the serial devices.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "main/device_kinds.h"
#include "main/lines.h"
#include "main/serial_history.h"

namespace kalvix3 {

int32_t readHistory(int32_t slot, int32_t *count, HistoryRecord *records) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr || count == nullptr || *count < 0 || (*count > 0 && records == nullptr))
        return KALVIX3_ERR_ARGUMENT;
    Family family = familyOf(line->kind);
    switch (family) {
    case Family::NumberDisplay:
    case Family::NdaP1:
    case Family::AtermUsb:
    case Family::AtermItmux:
        break;
    default:
        return KALVIX3_HISTORY_NO_READER;
    }
    if (!line->isOpen())
        return KALVIX3_HISTORY_FAILED; // no line to read from
    switch (family) {
    case Family::NumberDisplay:
        return ReadSerialHistory(slot, *line, count, records);
    case Family::NdaP1:
        return ReadNdaHistory(slot, *line, count, records);
    default:
        return readUsbFamilyHistory(*line, count, records);
    }
}

} // namespace kalvix3
