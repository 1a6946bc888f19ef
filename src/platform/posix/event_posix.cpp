#include "platform/event.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kalvix3::platform {

Event::Event() : handle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Event::~Event() {
    if (handle >= 0)
        close(static_cast<int>(handle));
}

bool Event::valid() const { return handle >= 0; }

void Event::set() {
    uint64_t one = 1;
    if (handle >= 0)
        (void)!write(static_cast<int>(handle), &one, sizeof one);
}

void Event::reset() {
    uint64_t value = 0;
    if (handle >= 0)
        (void)!read(static_cast<int>(handle), &value, sizeof value);
}

bool Event::wait(uint32_t timeoutMs) {
    if (handle < 0)
        return false;
    pollfd watch{static_cast<int>(handle), POLLIN, 0};
    for (;;) {
        int ready = poll(&watch, 1, static_cast<int>(timeoutMs));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && (watch.revents & POLLIN) != 0;
    }
}

intptr_t Event::native() const { return handle; }

} // namespace kalvix3::platform
