// ITUSB_CloseDevice: ends the device's outstanding requests.
#include "abi.h"
#include "adapter.h"

SIMUSB_EXPORT int32_t SIMUSB_DRIVER_CALL ITUSB_CloseDevice(simusb::DeviceHandle device,
                                                           void *block) {
    return simusb::Adapter::instance().closeDevice(device, block);
}
