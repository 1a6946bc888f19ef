// The Windows host window of the tests: a real top-level window (never shown) created on a
// thread of its own that pumps messages, as a host application's window would be. Messages
// sent to it from any thread run its window procedure on that thread.
#include "support/host_window.h"

#include <windows.h>

#include <future>
#include <mutex>
#include <thread>

namespace kalvix3::testing {

namespace {

constexpr char kClassName[] = "Kalvix3TestHostWindow";
constexpr UINT kCloseRequest = WM_APP + 1; // posted by the destructor: destroy and quit

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *host = reinterpret_cast<HostWindow *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case KALVIX3_CALLER_NUMBER_MESSAGE:
    case KALVIX3_LINE_ERROR_MESSAGE:
        if (host != nullptr)
            host->record(message, static_cast<uintptr_t>(wParam), static_cast<intptr_t>(lParam));
        return 0;
    case kCloseRequest:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

void registerClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &procedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClassName;
        RegisterClassA(&windowClass);
    });
}

} // namespace

struct HostWindow::Native {
    HWND window = nullptr;
    std::thread pump;
};

HostWindow::HostWindow() : native(std::make_unique<Native>()) {
    registerClass();
    std::promise<HWND> created;
    std::future<HWND> ready = created.get_future();
    native->pump = std::thread([this, &created] {
        HWND window = CreateWindowExA(0, kClassName, "Kalvix3 test host", WS_OVERLAPPEDWINDOW, 0,
                                      0, 100, 100, nullptr, nullptr, GetModuleHandleA(nullptr),
                                      this);
        created.set_value(window);
        if (window == nullptr)
            return;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    });
    native->window = ready.get();
}

HostWindow::~HostWindow() {
    if (native->window != nullptr)
        PostMessageA(native->window, kCloseRequest, 0, 0);
    native->pump.join();
}

Kalvix3Window HostWindow::window() const { return native->window; }

} // namespace kalvix3::testing
