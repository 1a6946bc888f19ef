#include "platform/notify.h"

#include <windows.h>

namespace kalvix3::platform {

// SendMessageA returns once the window's procedure has run on the window's own thread, so the
// record on the sender's stack stays valid for the whole delivery. A failed send (no such
// window) is ignored by the callers.
bool handlingSentMessage(Kalvix3Window window) {
    return window != nullptr && InSendMessage() &&
           GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

void sendMessage(Kalvix3Window window, uint32_t message, uintptr_t wParam, const void *lParam) {
    if (window == nullptr)
        return;
    SendMessageA(window, message, static_cast<WPARAM>(wParam), reinterpret_cast<LPARAM>(lParam));
}

uintptr_t hostModuleHandle() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }

} // namespace kalvix3::platform
