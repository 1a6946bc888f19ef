// The lines of the NEC Aterm adapters on USB: a polled line (TRecvUSBThread, Ev_USB_Control)
// or an ITMUX line (TRecvITMUXThread, the ITUSB_ entries). Each owns its receive thread; the
// driver library is the thread's.
#pragma once

#include <cstdint>
#include <memory>

#include "main/kinds.h"
#include "main/lines.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"

namespace kalvix3 {

class UsbLine final : public Line {
public:
    UsbLine(const KindRow &row, Kalvix3Window hostWindow); // the thread is created suspended
    ~UsbLine() override;
    void start(); // starts the receive thread, once the line is in its slot

    bool isOpen() const override { return thread != nullptr; }
    // With a dial in progress (its message pump runs the host's window procedures) the close
    // is carried out when the outermost dial has ended, which ends it at its next pass.
    void close() override;
    bool calledFromLineThread() const override;
    void waitUntilReady() override;
    int32_t readHistory(int32_t *count, HistoryRecord *records) override;
    void dial(int32_t telPort, const DigitText &digits) override;

    // While the line is open.
    TRecvUSBThread &receiver() { return *thread; }

    // Brackets one DialUsb; the end carries out a close asked for meanwhile.
    void dialStarted() { ++dialsRunning; }
    void dialEnded();
    bool closeRequested() const { return closeWhenDialEnds; }

private:
    void stop();

    std::unique_ptr<TRecvUSBThread> thread;
    int32_t dialsRunning = 0;
    bool closeWhenDialEnds = false;
};

class ItmuxLine final : public Line {
public:
    ItmuxLine(const KindRow &row, Kalvix3Window hostWindow); // the thread is created suspended
    ~ItmuxLine() override;
    void start(); // starts the receive thread, once the line is in its slot

    bool isOpen() const override { return thread != nullptr; }
    void close() override;
    bool calledFromLineThread() const override;
    void waitUntilReady() override;
    int32_t readHistory(int32_t *count, HistoryRecord *records) override;
    void dial(int32_t telPort, const DigitText &digits) override;

    // While the line is open.
    TRecvITMUXThread &receiver() { return *thread; }

private:
    std::unique_ptr<TRecvITMUXThread> thread;
};

// The receive thread of a slot's open USB or ITMUX line, or null.
inline TRecvUSBThread *usbThreadOf(const LineSlot &slot) {
    UsbLine *line = slot.as<UsbLine>();
    return line != nullptr && line->isOpen() ? &line->receiver() : nullptr;
}
inline TRecvITMUXThread *itmuxThreadOf(const LineSlot &slot) {
    ItmuxLine *line = slot.as<ItmuxLine>();
    return line != nullptr && line->isOpen() ? &line->receiver() : nullptr;
}

// How long a dial waits for a line opened just before it to reach its adapter.
inline constexpr uint32_t kDriverReadyWaitMs = 2000;

// The openers of the two USB families: the driver files must be installed; the receive thread
// loads the driver library and reports its failures itself.
int32_t openUsbLine(const KindRow &row, const LineRequest &request, LineOpening &opening);
int32_t openItmuxLine(const KindRow &row, const LineRequest &request, LineOpening &opening);

} // namespace kalvix3
