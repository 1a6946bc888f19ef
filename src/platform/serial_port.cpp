#include "platform/serial_port.h"

#include <mutex>

namespace kalvix3::platform {

namespace {
std::mutex factoryLock;
SerialPortFactory &currentFactory() {
    static SerialPortFactory factory;
    return factory;
}
} // namespace

OpenedPort openSerialPort(const char *portName) {
    SerialPortFactory factory;
    {
        std::lock_guard<std::mutex> hold(factoryLock);
        factory = currentFactory();
    }
    return factory ? factory(portName) : openSystemSerialPort(portName);
}

void setSerialPortFactory(SerialPortFactory factory) {
    std::lock_guard<std::mutex> hold(factoryLock);
    currentFactory() = std::move(factory);
}

} // namespace kalvix3::platform
