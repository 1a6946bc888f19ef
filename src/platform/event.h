// A manual-reset event, initially clear. native() is what the USB driver library is handed:
// an event HANDLE on Windows, an eventfd descriptor on Linux (the driver writes a 64-bit 1).
#pragma once

#include <cstdint>

namespace kalvix3::platform {

class Event {
public:
    Event();
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    bool valid() const;
    void set();
    void reset();
    bool wait(uint32_t timeoutMs); // true when signalled within the time
    intptr_t native() const;

private:
    intptr_t handle;
};

} // namespace kalvix3::platform
