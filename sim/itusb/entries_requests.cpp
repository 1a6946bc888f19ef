// ITUSB_OpenDevice and the ITUSB_ requests of kinds 36, 38, 40, 42.
#include "abi.h"
#include "adapter.h"

using simusb::Adapter;
using simusb::DeviceHandle;
using simusb::EventHandle;

SIMUSB_EXPORT DeviceHandle SIMUSB_DRIVER_CALL ITUSB_OpenDevice(uint32_t first, uint32_t mode,
                                                               uint32_t third, void *block) {
    return Adapter::instance().openDevice(first, mode, third, block);
}

SIMUSB_EXPORT int32_t SIMUSB_DRIVER_CALL ITUSB_EventNotificationRequest(
    EventHandle event, DeviceHandle device, uint32_t third, uint32_t fourth, void *record,
    uint32_t length, uint32_t *count, void *block) {
    return Adapter::instance().requestEvent(event, device, third, fourth, record, length, count,
                                            block);
}

SIMUSB_EXPORT int32_t SIMUSB_DRIVER_CALL ITUSB_ReadBufferRequest(
    EventHandle event, uint32_t selector, DeviceHandle device, uint32_t fourth, uint32_t fifth,
    void *buffer, uint32_t length, uint32_t *count, void *block) {
    return Adapter::instance().requestBuffer(event, selector, device, fourth, fifth, buffer,
                                             length, count, block);
}

SIMUSB_EXPORT int32_t SIMUSB_DRIVER_CALL ITUSB_Control_TA(EventHandle event, uint32_t selector,
                                                          DeviceHandle device, void *request,
                                                          uint32_t requestLength, uint8_t *reply,
                                                          uint32_t replyLength, uint32_t *count,
                                                          void *block) {
    return Adapter::instance().controlTa(event, selector, device, request, requestLength, reply,
                                         replyLength, count, block);
}
