// Windows: the events handed to the driver are event HANDLEs.
#include <windows.h>

#include "adapter.h"

namespace simusb {

void signalEvent(EventHandle event) { SetEvent(reinterpret_cast<HANDLE>(event)); }

bool eventIsOpen(EventHandle event) {
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(event), &flags) != 0;
}

} // namespace simusb
