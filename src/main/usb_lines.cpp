// Opening and closing the lines of the NEC Aterm adapters on USB: the driver files must be
// installed; the receive thread loads the driver library and reports its failures itself.
#include <iterator>
#include <memory>

#include "itusb/itusb.h"
#include "main/device_kinds.h"
#include "main/lines.h"
#include "main/usb_access.h"
#include "platform/system.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"

namespace kalvix3 {

namespace {

constexpr uint32_t kNtPlatform = 2;
constexpr const char *kDriverFiles[] = {itusb::kDriverFileName, "\\ITUSB.SYS", "\\ITPORT.VXD",
                                        "\\ITSV1.VXD"};

template <typename ReceiveThread>
void startReceiveThread(std::unique_ptr<ReceiveThread> &entry, Kalvix3Window hostWindow) {
    entry = std::make_unique<ReceiveThread>(); // suspended
    entry->hostWindow = hostWindow;
    entry->resume();
}

template <typename ReceiveThread> void stopReceiveThread(std::unique_ptr<ReceiveThread> &entry) {
    if (!entry)
        return;
    entry->terminate();
    entry.reset(); // waits for the body to end
}

} // namespace

const char *missingDriverFile(const std::string &directory, uint32_t platformId) {
    size_t required = platformId == kNtPlatform ? 1 : std::size(kDriverFiles);
    for (size_t i = 0; i < required; ++i)
        if (!platform::fileExists(platform::systemFilePath(directory, kDriverFiles[i])))
            return kDriverFiles[i];
    return nullptr;
}

int32_t openUsbLine(int32_t slot, Kalvix3Window hostWindow, int32_t kind) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr)
        return KALVIX3_ERR_ARGUMENT;
    Family family = familyOf(kind);
    if (family != Family::AtermUsb && family != Family::AtermItmux)
        return KALVIX3_ERR_KIND;
    if (missingDriverFile(platform::systemDirectory(), platform::windowsPlatformId()) != nullptr)
        return KALVIX3_ERR_USB_DRIVER;
    if (family == Family::AtermUsb)
        startReceiveThread(line->usbThread, hostWindow);
    else
        startReceiveThread(line->itmuxThread, hostWindow);
    return KALVIX3_OK;
}

void closeUsbLine(LineSlot &line) {
    stopReceiveThread(line.usbThread);
    stopReceiveThread(line.itmuxThread);
}

} // namespace kalvix3
