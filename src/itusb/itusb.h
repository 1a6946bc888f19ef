// The interface to ITUSB.DLL, the USB driver library of the NEC Aterm adapters: its entry names
// and types, and the lookup of entries in the loaded library.
//
// Ev_USB_Control (kinds 32, 34) is synchronous. The ITUSB_ requests (kinds 36, 38, 40, 42)
// return at once and signal the event they were given once their output is written; until then
// the driver may write into the output buffer, the count word and the request block, so these
// must outlive the request (see PendingRequest).
//
// The entries use the Windows standard calling convention on Windows and plain C on POSIX,
// where the event handed to a request is an eventfd descriptor.
#pragma once

#include <cstdint>
#include <optional>

#include "itusb/records.h"
#include "platform/event.h"
#include "platform/module.h"

#ifdef _WIN32
#define KALVIX3_ITUSB_CALL __stdcall
#else
#define KALVIX3_ITUSB_CALL
#endif

namespace kalvix3::itusb {

using DeviceHandle = uintptr_t; // what ITUSB_OpenDevice returns; 0 is failure
using EventHandle = intptr_t;   // platform::Event::native()

// Nonzero when the output was filled; on failure both result words are set.
using EvUsbControlEntry = int32_t(KALVIX3_ITUSB_CALL *)(uint32_t code, void *output,
                                                        uint32_t outputLength, void *input,
                                                        uint32_t inputLength, uint32_t *result1,
                                                        uint32_t *result2, uint32_t reserved);
// Called with (0, 2, 0, block).
using OpenDeviceEntry = DeviceHandle(KALVIX3_ITUSB_CALL *)(uint32_t, uint32_t, uint32_t,
                                                           RequestBlock *block);
// Called with (event, device, 0, 0, record, 67, count, block).
using EventNotificationRequestEntry = int32_t(KALVIX3_ITUSB_CALL *)(
    EventHandle event, DeviceHandle device, uint32_t, uint32_t, EventRecord *record,
    uint32_t length, uint32_t *count, RequestBlock *block);
// Called with (event, 20, device, 0, 0, buffer, 6600, count, block).
using ReadBufferRequestEntry = int32_t(KALVIX3_ITUSB_CALL *)(
    EventHandle event, uint32_t, DeviceHandle device, uint32_t, uint32_t, HistoryBuffer *buffer,
    uint32_t length, uint32_t *count, RequestBlock *block);
// Called with (event, 67, device, request, 54, reply, 1, count, block).
using ControlTaEntry = int32_t(KALVIX3_ITUSB_CALL *)(EventHandle event, uint32_t,
                                                     DeviceHandle device, TaDialRequest *request,
                                                     uint32_t requestLength, uint8_t *reply,
                                                     uint32_t replyLength, uint32_t *count,
                                                     RequestBlock *block);
// Called with (device, block); ends the device's outstanding requests.
using CloseDeviceEntry = int32_t(KALVIX3_ITUSB_CALL *)(DeviceHandle device, RequestBlock *block);

inline constexpr char kDriverFileName[] = "\\ITUSB.DLL";
inline constexpr char kEvUsbControlName[] = "Ev_USB_Control";
inline constexpr char kOpenDeviceName[] = "ITUSB_OpenDevice";
inline constexpr char kEventNotificationRequestName[] = "ITUSB_EventNotificationRequest";
inline constexpr char kReadBufferRequestName[] = "ITUSB_ReadBufferRequest";
inline constexpr char kControlTaName[] = "ITUSB_Control_TA";
inline constexpr char kCloseDeviceName[] = "ITUSB_CloseDevice";

// Constant arguments of the ITUSB_ entries.
inline constexpr uint32_t kOpenDeviceMode = 2;
inline constexpr uint32_t kReadBufferSelector = 20;
inline constexpr uint32_t kControlTaSelector = 67;

// How long the host's thread waits for an ITUSB_ request it made.
inline constexpr uint32_t kRequestWaitMs = 5000;

// Loads ITUSB.DLL from the system directory; an empty Module when that fails.
platform::Module loadDriverLibrary();

template <typename Entry> Entry lookUp(const platform::Module &library, const char *name) {
    return library.entry<Entry>(name);
}

// The entries the ITMUX receive thread needs, looked up in this order.
struct ItmuxEntries {
    OpenDeviceEntry openDevice = nullptr;
    EventNotificationRequestEntry eventNotificationRequest = nullptr;
    CloseDeviceEntry closeDevice = nullptr;
};
// Stops at the first missing entry (later names are not looked up): nullopt then.
std::optional<ItmuxEntries> lookUpItmuxEntries(const platform::Module &library);

// The memory an ITUSB_ request made on the host's thread may write until it completes or its
// device is closed, and the event it signals. A request that is not complete when its caller
// stops waiting is handed, whole, to the receive thread that owns the device, which frees it
// only after ITUSB_CloseDevice (see TRecvITMUXThread).
struct PendingRequest {
    virtual ~PendingRequest() = default;
    platform::Event event;  // manual reset, initially clear
    RequestBlock block{};   // zero-filled
    uint32_t count = 0;
};

} // namespace kalvix3::itusb
