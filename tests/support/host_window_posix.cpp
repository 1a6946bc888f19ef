#include "support/host_window.h"

namespace kalvix3::testing {

struct HostWindow::Native {
    Kalvix3HostWindow window{};
};

namespace {
intptr_t procedure(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto *host = static_cast<HostWindow *>(static_cast<Kalvix3HostWindow *>(window)->user);
    host->record(message, wParam, lParam);
    return 0;
}
} // namespace

HostWindow::HostWindow() : native(std::make_unique<Native>()) {
    native->window.proc = &procedure;
    native->window.user = this;
}

HostWindow::~HostWindow() = default;

Kalvix3Window HostWindow::window() const { return &native->window; }

} // namespace kalvix3::testing
