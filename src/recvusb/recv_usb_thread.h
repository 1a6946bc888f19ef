// TRecvUSBThread: watches a NEC Aterm adapter on USB (kinds 32, 34) by polling its caller
// status through Ev_USB_Control once a second, and sends each new caller to the host window.
// Driver failures are reported once (311, 312, 313) and end the body; the line stays in the
// line table until it is closed.
//
// Threads: the body runs on its own thread and sends its notifications from there. control()
// is for the host's thread (history, dialing); its calls run side by side with the body's polls.
// From the moment the body begins to end (failure or stop) control() calls nothing, and the body
// releases the library only after every control() call in progress has returned. Destruction
// stops the body and waits for it: promptly, since every sleep of the body ends at a stop.
#pragma once

#include <cstdint>
#include <shared_mutex>

#include "itusb/caller_text.h"
#include "itusb/itusb.h"
#include "kalvix3.h"
#include "platform/thread.h"

namespace kalvix3 {

class TRecvUSBThread : public platform::Thread {
public:
    // Always created suspended; notifications (and a dial's message boxes) go to hostWindow.
    explicit TRecvUSBThread(Kalvix3Window hostWindow);
    ~TRecvUSBThread() override;

    const Kalvix3Window hostWindow;

    // Calls Ev_USB_Control(code, output, outputLength, input, inputLength, &word1, &word2, 0) on
    // the calling thread and stores what it returned in `returned` (nonzero: the output was
    // filled) and, when asked for, the two result words. Returns false, calling nothing, while
    // the entry has not been looked up yet and once the body has ended or begun to end. Blocks
    // for as long as the driver's call takes.
    bool control(uint32_t code, void *output, uint32_t outputLength, const void *input,
                 uint32_t inputLength, int32_t &returned, uint32_t *result1 = nullptr,
                 uint32_t *result2 = nullptr);
    // Whether control() would call the driver now.
    bool controlAvailable() const;

protected:
    void ThreadMain() override;

private:
    class ControlPublication;
    enum class Baseline { Read, Failed, Stopped };

    Baseline readBaseline(itusb::EvUsbControlEntry entry, itusb::CallerStatusRecord &baseline);
    void pollCallerStatus(itusb::EvUsbControlEntry entry, itusb::CallerStatusRecord &baseline);

    mutable std::shared_mutex accessLock;          // shared: a call; exclusive: (un)publishing
    itusb::EvUsbControlEntry usbControl = nullptr; // guarded by accessLock
};

inline constexpr uint32_t kStatusPollMs = 1000;
// Result words of a refused read that only means "try again later".
inline constexpr uint32_t kBusyResult1 = 1;
inline constexpr uint32_t kBusyResult2 = 131;

// True when the current record is one to report: it differs from the baseline in byte 1..37 or
// 39, its byte 0 is 1 and its reason is not 0x4E.
bool namesNewCaller(const itusb::CallerStatusRecord &current,
                    const itusb::CallerStatusRecord &baseline);
// The text a caller status record gives: "P", "C", "O" (reasons 0, 2, 254 only when the record
// holds a byte above 32 before its first zero byte, looking no further than its 43 bytes), the
// digits of reason 255 (at most the first 20), or empty.
itusb::CallerText callerTextOf(const itusb::CallerStatusRecord &record);

} // namespace kalvix3
