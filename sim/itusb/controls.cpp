// The SimUsb_ controls: how tests and demos steer and observe the simulated adapter.
#include "abi.h"
#include "adapter.h"
#include "simusb.h"

using simusb::Adapter;

SIMUSB_EXPORT void SimUsb_Reset(void) { Adapter::instance().reset(); }
SIMUSB_EXPORT int32_t SimUsb_PlaceCall(const char *numberOrReason) {
    return Adapter::instance().placeCall(numberOrReason) ? 1 : 0;
}
SIMUSB_EXPORT void SimUsb_SetStatusRecord(const uint8_t *record) {
    Adapter::instance().setStatusRecord(record);
}
SIMUSB_EXPORT void SimUsb_PushEventRecord(const uint8_t *record) {
    Adapter::instance().pushEventRecord(record);
}
SIMUSB_EXPORT int32_t SimUsb_AddHistoryEntry(const char *numberOrReason, const char *timestamp) {
    return Adapter::instance().addHistoryEntry(numberOrReason, timestamp) ? 1 : 0;
}
SIMUSB_EXPORT void SimUsb_SetHistoryPage(int32_t page, const uint8_t *page390) {
    Adapter::instance().setHistoryPage(page, page390);
}
SIMUSB_EXPORT void SimUsb_SetHistoryBuffer(const uint8_t *buffer6600) {
    Adapter::instance().setHistoryBuffer(buffer6600);
}
SIMUSB_EXPORT void SimUsb_FailControl(uint32_t code, int32_t times, uint32_t result1,
                                      uint32_t result2) {
    Adapter::instance().failControl(code, times, result1, result2);
}
SIMUSB_EXPORT void SimUsb_FailOpen(int32_t fail) { Adapter::instance().failOpen(fail != 0); }
SIMUSB_EXPORT void SimUsb_HoldRequests(int32_t hold) {
    Adapter::instance().holdRequests(hold != 0);
}
SIMUSB_EXPORT int32_t SimUsb_CompleteHeld(void) { return Adapter::instance().completeHeld(); }
SIMUSB_EXPORT void SimUsb_SetControlDelay(uint32_t code, uint32_t ms) {
    Adapter::instance().setControlDelay(code, ms);
}
SIMUSB_EXPORT void SimUsb_SetDialStates(const uint8_t *states, int32_t count) {
    Adapter::instance().setDialStates(states, count);
}
SIMUSB_EXPORT void SimUsb_SetLineStateOnes(int32_t polls) {
    Adapter::instance().setLineStateOnes(polls);
}
SIMUSB_EXPORT int32_t SimUsb_LogSize(void) { return Adapter::instance().logSize(); }
SIMUSB_EXPORT int32_t SimUsb_LogEntry(int32_t index, SimUsbCall *call) {
    return call != nullptr && Adapter::instance().logEntry(index, *call) ? 1 : 0;
}
SIMUSB_EXPORT int32_t SimUsb_CallCount(int32_t entry, uint32_t code) {
    return Adapter::instance().callCount(entry, code);
}
SIMUSB_EXPORT int32_t SimUsb_BadCalls(void) { return Adapter::instance().badCalls(); }
SIMUSB_EXPORT void SimUsb_OnControl(SimUsbControlHook hook, void *context) {
    Adapter::instance().onControl(hook, context);
}
