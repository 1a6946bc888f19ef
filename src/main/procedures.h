// The history readers and dial procedures that the kind table names, by the line they use.
#pragma once

#include <cstdint>

#include "main/digits.h"
#include "main/serial_history.h"
#include "main/serial_line.h"
#include "main/usb_access.h"

namespace kalvix3 {

// Serial dial procedures: commands through WriteLine, the adapters' answers purged unread.
// ALEXON: "AT\D<port>/<digits>" CR LF.
void DialAlexon(SerialLine &line, int32_t telPort, const DigitText &digits);
// INS-Mate and Aterm terminal adapters: DTR raised around "AT!D<port>;<digits>" CR LF.
void DialAtBang(SerialLine &line, int32_t telPort, const DigitText &digits);
// MN128: "AT!T2", then "ATD<digits>;<port>".
void DialMn128(SerialLine &line, int32_t telPort, const DigitText &digits);

} // namespace kalvix3
