#include "main/lines.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"

namespace kalvix3 {

// USB lines are not opened yet: no driver files are looked for.
int32_t openUsbLine(int32_t, Kalvix3Window, int32_t) { return KALVIX3_ERR_USB_DRIVER; }

void closeUsbLine(LineSlot &line) {
    line.usbThread.reset();
    line.itmuxThread.reset();
}

} // namespace kalvix3
