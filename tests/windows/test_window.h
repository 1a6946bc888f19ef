// Helpers of the Windows tests: a window owned by the calling thread, which handles messages
// only while that thread pumps (so a test decides when a sent notification is delivered), and a
// watchdog that ends the process if a step deadlocks.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kalvix3.h"

namespace kalvix3::wintest {

struct Delivered {
    UINT message = 0;
    WPARAM wParam = 0;
    uintptr_t dwData = 0;
    uint32_t cbData = 0;
    std::string text;        // the bytes up to the terminating zero
    DWORD handlerThread = 0; // the thread that ran the window procedure
};

class ThreadWindow {
public:
    ThreadWindow() {
        static std::once_flag once;
        std::call_once(once, [] {
            WNDCLASSA windowClass{};
            windowClass.lpfnWndProc = &procedure;
            windowClass.hInstance = GetModuleHandleA(nullptr);
            windowClass.lpszClassName = "Kalvix3ThreadWindow";
            RegisterClassA(&windowClass);
        });
        handle = CreateWindowExA(0, "Kalvix3ThreadWindow", "", WS_OVERLAPPEDWINDOW, 0, 0, 50, 50,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), this);
    }
    ~ThreadWindow() {
        if (handle != nullptr)
            DestroyWindow(handle);
    }
    ThreadWindow(const ThreadWindow &) = delete;
    ThreadWindow &operator=(const ThreadWindow &) = delete;

    HWND hwnd() const { return handle; }
    size_t count() const { return received.size(); }
    const std::vector<Delivered> &messages() const { return received; }
    // Runs inside the window procedure after a message is recorded.
    std::function<void(const Delivered &)> onMessage;

    // Handles this thread's messages until `done` holds or the time is up.
    bool pumpUntil(const std::function<bool()> &done, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            // Short slices: `done` may turn true on another thread without a message here.
            DWORD slice = static_cast<DWORD>(left.count() < 20 ? left.count() : 20);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
        return true;
    }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE)
            SetWindowLongPtrA(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(
                                  reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams));
        auto *self = reinterpret_cast<ThreadWindow *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self != nullptr && (message == KALVIX3_CALLER_NUMBER_MESSAGE ||
                                message == KALVIX3_LINE_ERROR_MESSAGE)) {
            Delivered entry;
            entry.message = message;
            entry.wParam = wParam;
            entry.handlerThread = GetCurrentThreadId();
            if (lParam != 0) {
                const auto *record = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
                entry.dwData = record->dwData;
                entry.cbData = record->cbData;
                if (record->lpData != nullptr)
                    entry.text = static_cast<const char *>(record->lpData);
            }
            self->received.push_back(entry);
            if (self->onMessage)
                self->onMessage(entry);
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    HWND handle = nullptr;
    std::vector<Delivered> received;
};

// True once another thread has a message sent to this thread that is still waiting to be
// handled (GetQueueStatus does not deliver it).
inline bool waitForPendingSend(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE)
            return true;
        Sleep(5);
    }
    return false;
}

// Ends the process with a message when a step has not finished in time: a deadlock would
// otherwise hang the test until the runner's own time-out.
class Watchdog {
public:
    Watchdog(std::chrono::milliseconds limit, const char *what)
        : guard([this, limit, what] {
              std::unique_lock<std::mutex> hold(lock);
              if (!finished.wait_for(hold, limit, [this] { return done; })) {
                  std::fprintf(stderr, "Deadlock: %s did not finish in time\n", what);
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(lock);
            done = true;
        }
        finished.notify_all();
        guard.join();
    }

private:
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::thread guard;
};

} // namespace kalvix3::wintest
