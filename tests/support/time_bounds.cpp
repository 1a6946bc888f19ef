#include "support/time_bounds.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kalvix3::testing {

bool underValgrind() {
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

bool sanitizedBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

bool underWine() {
#ifdef _WIN32
    // Wine's ntdll exports wine_get_version; Windows' does not.
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

int slowdown() {
    if (underValgrind())
        return 20;
    return sanitizedBuild() || underWine() ? 4 : 1;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds limit) { return limit * slowdown(); }

} // namespace kalvix3::testing
