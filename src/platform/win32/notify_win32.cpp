#include "platform/notify.h"

#include <windows.h>

#include "platform/win32/thread_win32.h"

namespace kalvix3::platform {

// SendMessageA returns once the window's procedure has run on the window's own thread, so the
// record on the sender's stack stays valid for the whole delivery. A failed send (no such
// window) is ignored by the callers. While it runs, the sending body names the window's thread,
// so a close called from inside the procedure is known to come from inside the notification.
void sendMessage(Kalvix3Window window, uint32_t message, uintptr_t wParam, const void *lParam) {
    if (window == nullptr)
        return;
    win32::noteSendTarget(GetWindowThreadProcessId(window, nullptr));
    SendMessageA(window, message, static_cast<WPARAM>(wParam), reinterpret_cast<LPARAM>(lParam));
    win32::noteSendTarget(0);
}

uintptr_t hostModuleHandle() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }

} // namespace kalvix3::platform
