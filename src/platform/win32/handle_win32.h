// Owned Win32 handles. Every HANDLE the platform layer creates lives in one of these, so a
// failure half-way through a set-up releases what was acquired, in reverse order.
#pragma once

#include <windows.h>

#include <utility>

namespace kalvix3::platform::win32 {

// A kernel object handle closed with CloseHandle. Empty is null: callers turn each call's own
// failure value (INVALID_HANDLE_VALUE for CreateFileA, NULL for CreateEventA) into empty.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE owned) : handle(owned) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle &&other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept {
        if (this != &other) {
            reset();
            handle = std::exchange(other.handle, nullptr);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;

    HANDLE get() const { return handle; }
    explicit operator bool() const { return handle != nullptr; }
    void reset() {
        if (handle != nullptr)
            CloseHandle(handle);
        handle = nullptr;
    }
    // Gives up ownership without closing (for an object that must outlive its owner).
    HANDLE release() { return std::exchange(handle, nullptr); }

private:
    HANDLE handle = nullptr;
};

// An unnamed event with default security; empty when CreateEventA fails.
inline UniqueHandle makeEvent(bool manualReset) {
    return UniqueHandle(CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
}

} // namespace kalvix3::platform::win32
