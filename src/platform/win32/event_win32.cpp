#include "platform/event.h"

#include <windows.h>

namespace kalvix3::platform {

// Manual reset, initially clear, unnamed; native() is the HANDLE itself.
Event::Event()
    : handle(reinterpret_cast<intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}

Event::~Event() {
    if (handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool Event::valid() const { return handle != 0; }

void Event::set() {
    if (handle != 0)
        SetEvent(reinterpret_cast<HANDLE>(handle));
}

void Event::reset() {
    if (handle != 0)
        ResetEvent(reinterpret_cast<HANDLE>(handle));
}

bool Event::wait(uint32_t timeoutMs) {
    if (handle == 0)
        return false;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(handle), timeoutMs) == WAIT_OBJECT_0;
}

intptr_t Event::native() const { return handle; }

} // namespace kalvix3::platform
