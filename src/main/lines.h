// The line table: for each of the two line slots, the device kind of the last open request and
// the receive thread (with, for a serial line, its port) of the line that is open there.
//
// The exported functions use it from the host's thread, one call at a time. It is never torn
// down: unloading the library closes no line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "kalvix3.h"
#include "platform/serial_port.h"

namespace kalvix3 {

class TRecvThread;
class TRecvUSBThread;
class TRecvITMUXThread;

inline constexpr int32_t kLineSlots = 2;

struct LineSlot {
    LineSlot();
    ~LineSlot();

    int32_t kind = 0;                            // the kind of the most recent open request
    std::unique_ptr<platform::SerialPort> port;  // a serial line's port, closed after its thread
    std::unique_ptr<TRecvThread> serialThread;   // serial kinds
    std::unique_ptr<TRecvUSBThread> usbThread;   // kinds 32, 34
    std::unique_ptr<TRecvITMUXThread> itmuxThread; // kinds 36, 38, 40, 42
    // A USB dial runs the host's message pump inside KalvixDialEx: a close of the slot from a
    // window procedure meanwhile is carried out when the outermost dial on the slot has ended,
    // which ends it at the next pass (the dial still uses the receive thread until then).
    std::atomic<int32_t> dialsRunning{0};
    std::atomic<bool> closeWhenDialEnds{false};

    bool isOpen() const { return serialThread || usbThread || itmuxThread; }
};

// The slot's entry, or null for a slot other than 0 and 1.
LineSlot *lineSlot(int32_t slot);

// "COM" and the first character of the port number's decimal text.
void buildPortName(int32_t port, char (&name)[10]);

// Opening and closing, by device family.
int32_t openLine(int32_t slot, Kalvix3Window hostWindow, int32_t port, int32_t kind);
int32_t openSerialLine(int32_t slot, Kalvix3Window hostWindow, const char *portName, int32_t kind);
int32_t openUsbLine(int32_t slot, Kalvix3Window hostWindow, int32_t kind);
void closeLine(int32_t slot);
// True when the caller runs inside one of the line's notifications (on its receive thread, or
// on Windows in the window procedure the thread is waiting on).
bool calledFromLineThread(const LineSlot &line);
// Takes a serial line down in closing order; `lowerDtr` for the NDA-P1.
void takeDownSerialLine(LineSlot &line, bool resetMn128, bool lowerDtr);
void closeUsbLine(LineSlot &line);

struct DigitText;

// History and dialing (by the slot's recorded kind).
int32_t readHistory(int32_t slot, int32_t *count, HistoryRecord *records);
void dial(int32_t slot, int32_t telPort, const char *phoneNumber);
void dialUsbFamily(LineSlot &line, int32_t telPort, const DigitText &digits);

} // namespace kalvix3
