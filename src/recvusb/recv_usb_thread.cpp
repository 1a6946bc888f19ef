#include "recvusb/recv_usb_thread.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "recv/notify.h"

namespace kalvix3 {

using itusb::CallerStatusRecord;
using itusb::CallerText;

// Publishes the control entry for the host's thread while the body holds the library, and
// withdraws it (waiting for calls in progress) before the library is released.
class TRecvUSBThread::ControlPublication {
public:
    ControlPublication(TRecvUSBThread &owner, const platform::Module &library) : owner(owner) {
        entry = itusb::lookUp<itusb::EvUsbControlEntry>(library, itusb::kEvUsbControlName);
        std::unique_lock hold(owner.accessLock);
        owner.usbControl = entry;
    }
    ~ControlPublication() {
        std::unique_lock hold(owner.accessLock);
        owner.usbControl = nullptr;
    }
    ControlPublication(const ControlPublication &) = delete;
    ControlPublication &operator=(const ControlPublication &) = delete;

    itusb::EvUsbControlEntry entry = nullptr;

private:
    TRecvUSBThread &owner;
};

TRecvUSBThread::TRecvUSBThread(Kalvix3Window hostWindow) : hostWindow(hostWindow) {}

TRecvUSBThread::~TRecvUSBThread() { stopAndWait(); }

bool TRecvUSBThread::control(uint32_t code, void *output, uint32_t outputLength,
                             const void *input, uint32_t inputLength, int32_t &returned,
                             uint32_t *result1, uint32_t *result2) {
    std::shared_lock hold(accessLock);
    if (usbControl == nullptr)
        return false;
    uint32_t word1 = 0;
    uint32_t word2 = 0;
    returned = usbControl(code, output, outputLength, const_cast<void *>(input), inputLength,
                          &word1, &word2, 0);
    if (result1 != nullptr)
        *result1 = word1;
    if (result2 != nullptr)
        *result2 = word2;
    return true;
}

bool TRecvUSBThread::controlAvailable() const {
    std::shared_lock hold(accessLock);
    return usbControl != nullptr;
}

namespace {

int32_t readCallerStatus(itusb::EvUsbControlEntry entry, CallerStatusRecord &record,
                         uint32_t &word1, uint32_t &word2) {
    std::memset(&record, 0, sizeof record);
    return entry(itusb::kCallerStatusCode, &record, sizeof record, nullptr, 0, &word1, &word2, 0);
}

const uint8_t *bytesOf(const CallerStatusRecord &record) {
    return reinterpret_cast<const uint8_t *>(&record);
}

// The blank-record rule: the record's text, up to its first zero byte, holds something besides
// control characters and blanks.
bool holdsVisibleText(const CallerStatusRecord &record) {
    const uint8_t *bytes = bytesOf(record);
    for (size_t i = 0; i < sizeof record && bytes[i] != 0; ++i)
        if (bytes[i] > 0x20)
            return true;
    return false;
}

void setText(CallerText &out, const char *text) {
    std::strncpy(out.text, text, itusb::kMaxCallerText);
}

} // namespace

bool namesNewCaller(const CallerStatusRecord &current, const CallerStatusRecord &baseline) {
    const uint8_t *now = bytesOf(current);
    const uint8_t *before = bytesOf(baseline);
    size_t first = itusb::kStatusComparedFirst;
    size_t span = itusb::kStatusComparedLast - first + 1;
    bool changed = std::memcmp(now + first, before + first, span) != 0 ||
                   now[itusb::kStatusComparedExtra] != before[itusb::kStatusComparedExtra];
    return changed && current.reportFlag == 1 && current.reason != itusb::kReasonEndOfList;
}

CallerText callerTextOf(const CallerStatusRecord &record) {
    CallerText out;
    switch (record.reason) {
    case itusb::kReasonWithheld:
        setText(out, "P");
        break;
    case itusb::kReasonPublicPhone:
        setText(out, "C");
        break;
    case itusb::kReasonOutOfArea:
    case itusb::kReasonNoNumber:
    case itusb::kReasonUnavailable:
        if (holdsVisibleText(record))
            setText(out, "O");
        break;
    case itusb::kReasonNumber: {
        // The record holds 80 digits at most; a notification carries the first 20.
        size_t digits = std::min<size_t>(record.digitCount, itusb::kMaxCallerText);
        for (size_t k = 0; k < digits; ++k)
            out.text[k] = itusb::digitCharacter(itusb::packedDigit(record.digits, k));
        break;
    }
    default:
        break;
    }
    return out;
}

TRecvUSBThread::Baseline TRecvUSBThread::readBaseline(itusb::EvUsbControlEntry entry,
                                                      CallerStatusRecord &baseline) {
    uint32_t word1 = 0;
    uint32_t word2 = 0;
    if (readCallerStatus(entry, baseline, word1, word2) != 0)
        return Baseline::Read;
    if (!sleepUnlessStopped(kStatusPollMs))
        return Baseline::Stopped;
    if (readCallerStatus(entry, baseline, word1, word2) != 0)
        return Baseline::Read;
    return Baseline::Failed;
}

void TRecvUSBThread::pollCallerStatus(itusb::EvUsbControlEntry entry,
                                      CallerStatusRecord &baseline) {
    bool failedBefore = false;
    while (!terminated()) {
        uint32_t word1 = 0;
        uint32_t word2 = 0;
        CallerStatusRecord current;
        if (readCallerStatus(entry, current, word1, word2) == 0) {
            bool busy = word1 == kBusyResult1 && word2 == kBusyResult2;
            if (failedBefore && !busy) {
                notifyDriverError(hostWindow, kDriverFailed);
                return;
            }
            failedBefore = true;
        } else {
            failedBefore = false;
            if (namesNewCaller(current, baseline)) {
                CallerText text = callerTextOf(current);
                notifyCallerNumber(hostWindow, text.text);
            }
            baseline = current;
        }
        if (!sleepUnlessStopped(kStatusPollMs))
            return;
    }
}

void TRecvUSBThread::ThreadMain() {
    platform::Module library = itusb::loadDriverLibrary();
    if (!library) {
        notifyDriverError(hostWindow, kDriverLoadFailed);
        return;
    }
    // Declared after the library, so it is withdrawn before the library is released.
    ControlPublication published(*this, library);
    if (published.entry == nullptr) {
        notifyDriverError(hostWindow, kDriverEntryMissing);
        return;
    }
    CallerStatusRecord baseline;
    switch (readBaseline(published.entry, baseline)) {
    case Baseline::Stopped:
        return;
    case Baseline::Failed:
        notifyDriverError(hostWindow, kDriverFailed);
        return;
    case Baseline::Read:
        break;
    }
    if (!sleepUnlessStopped(kStatusPollMs))
        return;
    pollCallerStatus(published.entry, baseline);
}

} // namespace kalvix3
