// Host notification: a synchronous send of (window, message, wParam, record address) that
// returns once the host's window procedure has handled it. A null window is ignored.
#pragma once

#include <cstdint>

#include "kalvix3.h"

namespace kalvix3::platform {

void sendMessage(Kalvix3Window window, uint32_t message, uintptr_t wParam, const void *lParam);
// GetModuleHandleA(NULL): the host executable's module handle, never 0.
uintptr_t hostModuleHandle();

} // namespace kalvix3::platform
