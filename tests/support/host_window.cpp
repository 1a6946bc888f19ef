#include "support/host_window.h"

#include <cstring>

namespace kalvix3::testing {

void HostWindow::record(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    ReceivedMessage entry;
    entry.message = message;
    entry.wParam = wParam;
    entry.when = std::chrono::steady_clock::now();
    if (lParam != 0 && (message == KALVIX3_CALLER_NUMBER_MESSAGE ||
                        message == KALVIX3_LINE_ERROR_MESSAGE)) {
        const auto *data = reinterpret_cast<const CopyDataRecord *>(lParam);
        entry.dwData = data->dwData;
        entry.cbData = data->cbData;
        if (data->lpData)
            entry.text = static_cast<const char *>(data->lpData);
    }
    std::function<void(const ReceivedMessage &)> call;
    {
        std::lock_guard<std::mutex> hold(lock);
        received.push_back(entry);
        call = handler;
    }
    arrived.notify_all();
    if (call)
        call(entry);
}

std::vector<ReceivedMessage> HostWindow::messages() const {
    std::lock_guard<std::mutex> hold(lock);
    return received;
}

std::vector<std::string> HostWindow::texts() const {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::string> numbers;
    for (const ReceivedMessage &m : received)
        if (m.message == KALVIX3_CALLER_NUMBER_MESSAGE)
            numbers.push_back(m.text);
    return numbers;
}

size_t HostWindow::count() const {
    std::lock_guard<std::mutex> hold(lock);
    return received.size();
}

bool HostWindow::waitForCount(size_t wanted, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(lock);
    return arrived.wait_for(hold, limit, [&] { return received.size() >= wanted; });
}

void HostWindow::onMessage(std::function<void(const ReceivedMessage &)> call) {
    std::lock_guard<std::mutex> hold(lock);
    handler = std::move(call);
}

} // namespace kalvix3::testing
