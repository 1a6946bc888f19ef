#include "platform/serial_port.h"

namespace kalvix3::platform {

std::unique_ptr<SerialPort> openSystemSerialPort(const char *) { return nullptr; }

} // namespace kalvix3::platform
