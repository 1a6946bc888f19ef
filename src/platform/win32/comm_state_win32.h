// Conversions between the seam's unpacked Dcb/CommTimeouts and the Win32 DCB/COMMTIMEOUTS,
// field by field (the DCB's flag bits are bit fields).
#pragma once

#include "platform/serial_port.h"

#include <windows.h>

namespace kalvix3::platform::win32 {

DCB toNativeDcb(const Dcb &dcb);
Dcb fromNativeDcb(const DCB &native);
COMMTIMEOUTS toNativeTimeouts(const CommTimeouts &timeouts);

} // namespace kalvix3::platform::win32
