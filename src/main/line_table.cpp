#include <cstdio>
#include <cstring>
#include <new>

#include "main/catalogue.h"
#include "main/device_kinds.h"
#include "main/lines.h"
#include "recv/recv_thread.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"

namespace kalvix3 {

LineSlot::LineSlot() = default;
LineSlot::~LineSlot() = default;

LineSlot *lineSlot(int32_t slot) {
    // Built on first use and never destroyed: lines still open at unload are left alone.
    static LineSlot *const table = new LineSlot[kLineSlots];
    if (slot < 0 || slot >= kLineSlots)
        return nullptr;
    return &table[slot];
}

void buildPortName(int32_t port, char (&name)[10]) {
    char digits[16] = {};
    std::snprintf(digits, sizeof digits, "%d", static_cast<int>(port));
    std::memset(name, 0, sizeof name);
    std::memcpy(name, "COM", 3);
    name[3] = digits[0];
}

int32_t openLine(int32_t slot, Kalvix3Window hostWindow, int32_t port, int32_t kind) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr)
        return KALVIX3_ERR_ARGUMENT;
    if (line->isOpen())
        return KALVIX3_ERR_SLOT_BUSY; // the open line keeps its kind and its thread
    char portName[10];
    buildPortName(port, portName);
    line->kind = kind;
    Family family = familyOf(kind);
    if (family == Family::None)
        return KALVIX3_ERR_KIND;
    if (isSerialFamily(family)) {
        // Only COM1 to COM9 can be named; a longer number would open the wrong port.
        if (port < 1 || port > 9)
            return KALVIX3_ERR_PORT_OPEN;
        return openSerialLine(slot, hostWindow, portName, kind);
    }
    return openUsbLine(slot, hostWindow, kind);
}

void takeDownSerialLine(LineSlot &line, bool resetMn128, bool lowerDtr) {
    platform::SerialPort *port = line.port.get();
    if (port == nullptr || !line.serialThread)
        return;
    port->setMask(0); // completes the thread's pending wait with event word 0
    if (resetMn128) {
        static const char reset[] = "ATZ\r\n";
        line.serialThread->WritePort(reset, 5);
        platform::sleepMs(100);
    }
    port->purge(platform::PURGE_ALL);
    line.serialThread.reset(); // stops the thread and waits for its end
    if (lowerDtr)
        port->escapeFunction(platform::CLRDTR);
    line.port.reset(); // closes the port
}

bool calledFromLineThread(const LineSlot &line) {
    return (line.serialThread && line.serialThread->isCurrentThread()) ||
           (line.usbThread && line.usbThread->isCurrentThread()) ||
           (line.itmuxThread && line.itmuxThread->isCurrentThread());
}

void closeLine(int32_t slot) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr || !line->isOpen())
        return;
    // A window procedure closing its own line from inside a notification would make the thread
    // wait for itself and free the stack it runs on; host code run by a dial on the line would
    // pull the thread from under the dial. Both are refused: the line stays open.
    if (calledFromLineThread(*line) || line->dialsRunning.load(std::memory_order_acquire) != 0)
        return;
    Family family = familyOf(line->kind);
    if (family == Family::AtermUsb || family == Family::AtermItmux) {
        closeUsbLine(*line);
        return;
    }
    takeDownSerialLine(*line, family == Family::Mn128, family == Family::NdaP1);
}

} // namespace kalvix3
