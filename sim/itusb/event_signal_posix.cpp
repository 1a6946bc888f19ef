// POSIX: the events handed to the driver are eventfd descriptors.
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#include "adapter.h"

namespace simusb {

void signalEvent(EventHandle event) {
    uint64_t one = 1;
    (void)!write(static_cast<int>(event), &one, sizeof one);
}

bool eventIsOpen(EventHandle event) { return event >= 0 && fcntl(static_cast<int>(event), F_GETFD) != -1; }

} // namespace simusb
