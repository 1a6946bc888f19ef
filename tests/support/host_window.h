// A host window for tests: records every message the library sends it, with the record's
// fields and text copied out while the send is in progress. On POSIX it is a Kalvix3HostWindow;
// on Windows a real window owned by a thread of its own that pumps messages.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kalvix3.h"

namespace kalvix3::testing {

struct ReceivedMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    uintptr_t dwData = 0;
    uint32_t cbData = 0;
    std::string text; // the bytes up to the terminating zero
    std::chrono::steady_clock::time_point when;
};

class HostWindow {
public:
    HostWindow();
    ~HostWindow();
    HostWindow(const HostWindow &) = delete;
    HostWindow &operator=(const HostWindow &) = delete;

    Kalvix3Window window() const;
    std::vector<ReceivedMessage> messages() const;
    std::vector<std::string> texts() const; // texts of the caller-number messages
    size_t count() const;
    bool waitForCount(size_t count, std::chrono::milliseconds limit) const;
    // Runs inside the window procedure, on the sending thread, after the message is recorded.
    void onMessage(std::function<void(const ReceivedMessage &)> handler);

    // Called by the platform part with each message.
    void record(uint32_t message, uintptr_t wParam, intptr_t lParam);

private:
    struct Native;
    mutable std::mutex lock;
    mutable std::condition_variable arrived;
    std::vector<ReceivedMessage> received;
    std::function<void(const ReceivedMessage &)> handler;
    std::unique_ptr<Native> native;
};

} // namespace kalvix3::testing
