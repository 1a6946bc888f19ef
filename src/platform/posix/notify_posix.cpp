#include "platform/notify.h"

#include <dlfcn.h>

namespace kalvix3::platform {

void sendMessage(Kalvix3Window window, uint32_t message, uintptr_t wParam, const void *lParam) {
    if (window == nullptr || window->proc == nullptr)
        return;
    window->proc(window, message, wParam, reinterpret_cast<intptr_t>(lParam));
}

uintptr_t hostModuleHandle() {
    // The main program's handle does not change while the process lives; take it once.
    static const uintptr_t executable = [] {
        void *self = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
        if (self == nullptr)
            self = dlopen(nullptr, RTLD_LAZY);
        return reinterpret_cast<uintptr_t>(self);
    }();
    return executable;
}

} // namespace kalvix3::platform
