#include "nda_port.h"

#include <windows.h>

namespace sim_nda {

bool HeldPort::open(const std::string &portName) {
    close();
    HANDLE port = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return false;
    handle = reinterpret_cast<long long>(port);
    return true;
}

void HeldPort::close() {
    if (handle >= 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
}

bool HeldPort::isOpen() const { return handle >= 0; }

} // namespace sim_nda
