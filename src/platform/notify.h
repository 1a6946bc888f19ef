// Host notification: a synchronous send of (window, message, wParam, record address) that
// returns once the host's window procedure has handled it. A null window is ignored.
#pragma once

#include <cstdint>

#include "kalvix3.h"

namespace kalvix3::platform {

void sendMessage(Kalvix3Window window, uint32_t message, uintptr_t wParam, const void *lParam);
// True when the calling thread is inside the window procedure of `window` for a message sent
// from another thread (Windows runs a window's procedure on the thread that owns it). On POSIX
// the procedure runs on the sending thread itself, so this is always false there.
bool handlingSentMessage(Kalvix3Window window);
// GetModuleHandleA(NULL): the host executable's module handle, never 0.
uintptr_t hostModuleHandle();

} // namespace kalvix3::platform
