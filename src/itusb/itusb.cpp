#include "itusb/itusb.h"

#include "platform/system.h"

namespace kalvix3::itusb {

platform::Module loadDriverLibrary() {
    return platform::Module::load(
        platform::systemFilePath(platform::systemDirectory(), kDriverFileName));
}

std::optional<ItmuxEntries> lookUpItmuxEntries(const platform::Module &library) {
    ItmuxEntries entries;
    entries.openDevice = lookUp<OpenDeviceEntry>(library, kOpenDeviceName);
    if (entries.openDevice == nullptr)
        return std::nullopt;
    entries.eventNotificationRequest =
        lookUp<EventNotificationRequestEntry>(library, kEventNotificationRequestName);
    if (entries.eventNotificationRequest == nullptr)
        return std::nullopt;
    entries.closeDevice = lookUp<CloseDeviceEntry>(library, kCloseDeviceName);
    if (entries.closeDevice == nullptr)
        return std::nullopt;
    return entries;
}

} // namespace kalvix3::itusb
