// History and dialing of the USB kinds, handed to their readers and dial procedures.
#include "main/digits.h"
#include "main/serial_history.h"

namespace kalvix3 {

int32_t readUsbFamilyHistory(LineSlot &, int32_t *, HistoryRecord *) { return KALVIX3_HISTORY_FAILED; }

} // namespace kalvix3

namespace kalvix3 {

void dialUsbFamily(LineSlot &, int32_t, const DigitText &) {}

} // namespace kalvix3
