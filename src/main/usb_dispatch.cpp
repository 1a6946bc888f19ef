// History and dialing of the USB kinds, handed to their readers and dial procedures.
#include "main/device_kinds.h"
#include "main/serial_history.h"
#include "main/usb_access.h"

namespace kalvix3 {

int32_t readUsbFamilyHistory(LineSlot &line, int32_t *count, HistoryRecord *records) {
    if (familyOf(line.kind) == Family::AtermUsb)
        return ReadUsbHistory(line, count, records);
    return ReadItmuxHistory(line, count, records);
}

void dialUsbFamily(LineSlot &line, int32_t telPort, const DigitText &digits) {
    if (familyOf(line.kind) == Family::AtermUsb)
        DialUsb(line, telPort, digits);
    else
        DialItmux(line, telPort, digits);
}

} // namespace kalvix3
