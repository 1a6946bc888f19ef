// History readers of the serially attached devices.
#pragma once

#include <cstdint>

#include "kalvix3.h"
#include "main/serial_line.h"

namespace kalvix3 {

inline constexpr int32_t kMaxSerialHistory = 99; // entry numbers have two digits
inline constexpr int32_t kNdaEntries = 10;
inline constexpr uint32_t kReplyWaitMs = 200;

// Asks a number-display adapter for its entries one at a time ("M01", "M02", ...) through the
// line's receive thread in history mode; ends at the first entry that does not come.
int32_t ReadSerialHistory(SerialLine &line, int32_t *count, HistoryRecord *records);
// Hands the port to NDA_P1.dll for the read and opens the line again afterwards (a failure to
// open it leaves the line closed).
int32_t ReadNdaHistory(SerialLine &line, int32_t *count, HistoryRecord *records);

// Turns one 36-byte NDA history entry into record bytes; false when the entry gives no record.
bool fillNdaRecord(const uint8_t *entry, const char (&year)[5], HistoryRecord &record);

// The four-character UTC year the serial readers put into every record.
void formYearText(char (&year)[5]);

} // namespace kalvix3
