// The two notifications a line sends its host window: the caller number (CallerNumberMessage,
// 1726) and the line error (LineErrorMessage, 1728), each with a CopyDataRecord. Sent
// synchronously; the record and text live on the sender's stack for the send only.
#pragma once

#include <cstdint>

#include "kalvix3.h"

namespace kalvix3 {

inline constexpr uint32_t kDriverLoadFailed = KALVIX3_LINE_DRIVER_LOAD_FAILED;
inline constexpr uint32_t kDriverEntryMissing = KALVIX3_LINE_DRIVER_ENTRY_MISSING;
inline constexpr uint32_t kDriverFailed = KALVIX3_LINE_DRIVER_FAILED;

// The line error code for a ClearCommError error word, 0 when none of the tested bits is set.
uint32_t serialErrorCode(uint32_t errorWord);
// The code page 932 text of a line error code (1..10, 311..313), null for other codes.
const char *lineErrorText(uint32_t code);

// Sends {12, length, number}; an empty number is not sent.
void notifyCallerNumber(Kalvix3Window window, const char *number);
// Sends one LineErrorMessage for the error word, or none when no tested bit is set.
void notifySerialError(Kalvix3Window window, uint32_t errorWord);
// Sends LineErrorMessage 311, 312 or 313.
void notifyDriverError(Kalvix3Window window, uint32_t code);

} // namespace kalvix3
