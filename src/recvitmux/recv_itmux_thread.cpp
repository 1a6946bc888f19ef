#include "recvitmux/recv_itmux_thread.h"

#include <cstring>

#include "recv/notify.h"

namespace kalvix3 {

using itusb::CallerText;
using itusb::EventRecord;

// ITUSB.DLL for the time of the body, published as hLibrary.
class TRecvITMUXThread::LibraryHold {
public:
    explicit LibraryHold(TRecvITMUXThread &owner) : owner(owner) {
        platform::Module library = itusb::loadDriverLibrary();
        std::unique_lock hold(owner.accessLock);
        owner.hLibrary = std::move(library);
    }
    ~LibraryHold() {
        std::unique_lock hold(owner.accessLock);
        owner.hLibrary.release();
    }
    LibraryHold(const LibraryHold &) = delete;
    LibraryHold &operator=(const LibraryHold &) = delete;
    bool loaded() const { return static_cast<bool>(owner.hLibrary); }

private:
    TRecvITMUXThread &owner;
};

// The open device, published as hDevice. Closing withdraws it from the host's thread (waiting
// for a withDevice() in progress), closes it, and only then frees the requests the host's
// thread left outstanding, since closing the device is what ends them.
class TRecvITMUXThread::DeviceHold {
public:
    DeviceHold(TRecvITMUXThread &owner, const itusb::ItmuxEntries &entries,
               itusb::RequestBlock &block)
        : owner(owner), entries(entries), block(block) {
        itusb::DeviceHandle device = entries.openDevice(0, itusb::kOpenDeviceMode, 0, &block);
        std::unique_lock hold(owner.accessLock);
        owner.hDevice = device;
        owner.deviceOpen = device != 0;
    }
    ~DeviceHold() {
        if (!opened())
            return;
        {
            std::unique_lock hold(owner.accessLock);
            owner.deviceOpen = false;
        }
        entries.closeDevice(owner.hDevice, &block);
        owner.freeKeptRequests();
    }
    DeviceHold(const DeviceHold &) = delete;
    DeviceHold &operator=(const DeviceHold &) = delete;
    bool opened() const { return owner.hDevice != 0; }

private:
    TRecvITMUXThread &owner;
    const itusb::ItmuxEntries &entries;
    itusb::RequestBlock &block;
};

// The body's event, reachable by a stop so that the wait ends at once.
class TRecvITMUXThread::WaitEvent {
public:
    explicit WaitEvent(TRecvITMUXThread &owner) : owner(owner) {
        std::lock_guard hold(owner.wakeLock);
        owner.waitingOn = &event;
    }
    ~WaitEvent() {
        std::lock_guard hold(owner.wakeLock);
        owner.waitingOn = nullptr;
    }
    WaitEvent(const WaitEvent &) = delete;
    WaitEvent &operator=(const WaitEvent &) = delete;

    platform::Event event;

private:
    TRecvITMUXThread &owner;
};

void ItmuxDevice::keepUntilClosed(std::unique_ptr<itusb::PendingRequest> request) {
    owner.keepRequest(std::move(request));
}

TRecvITMUXThread::TRecvITMUXThread(Kalvix3Window hostWindow) : hostWindow(hostWindow) {}

TRecvITMUXThread::~TRecvITMUXThread() { stopAndWait(); }

bool TRecvITMUXThread::deviceAvailable() const {
    std::shared_lock hold(accessLock);
    return deviceOpen;
}

bool TRecvITMUXThread::withDevice(const std::function<void(ItmuxDevice &)> &use) {
    std::shared_lock hold(accessLock);
    if (!deviceOpen)
        return false;
    ItmuxDevice device(*this, hLibrary, hDevice);
    use(device);
    return true;
}

void TRecvITMUXThread::onTerminate() {
    std::lock_guard hold(wakeLock);
    if (waitingOn != nullptr)
        waitingOn->set();
}

void TRecvITMUXThread::keepRequest(std::unique_ptr<itusb::PendingRequest> request) {
    std::lock_guard hold(keptLock);
    keptRequests.push_back(std::move(request));
}

void TRecvITMUXThread::freeKeptRequests() {
    std::vector<std::unique_ptr<itusb::PendingRequest>> released;
    {
        std::lock_guard hold(keptLock);
        released.swap(keptRequests);
    }
}

CallerText callerTextOf(const EventRecord &record) {
    CallerText out;
    if (record.reportFlag != 1 || record.callerFlag != 1 ||
        record.reason == itusb::kReasonEndOfList)
        return out;
    switch (record.reason) {
    case itusb::kReasonWithheld:
        out.text[0] = 'P';
        break;
    case itusb::kReasonPublicPhone:
        out.text[0] = 'C';
        break;
    case itusb::kReasonOutOfArea:
    case itusb::kReasonNoNumber:
    case itusb::kReasonUnavailable:
        out.text[0] = 'O';
        break;
    case itusb::kReasonNumber:
        // Up to the first zero byte; a field without one gives all 15 characters.
        std::memcpy(out.text, record.number,
                    strnlen(record.number, sizeof record.number));
        break;
    default:
        break;
    }
    return out;
}

// Waits in slices until the event is signalled; false when a stop was requested (a stop also
// signals the event, so the wait ends at once). A record completed together with a stop is
// dropped: the line is closing.
bool TRecvITMUXThread::waitForRecord(platform::Event &event) {
    for (;;) {
        bool signalled = event.wait(kEventWaitSliceMs);
        if (terminated())
            return false;
        if (signalled) {
            event.reset();
            return true;
        }
    }
}

void TRecvITMUXThread::watchEvents(const itusb::ItmuxEntries &entries, platform::Event &event,
                                   itusb::RequestBlock &block, EventRecord &record,
                                   uint32_t &count) {
    while (!terminated()) {
        count = 0;
        std::memset(&record, 0, sizeof record);
        entries.eventNotificationRequest(event.native(), hDevice, 0, 0, &record, sizeof record,
                                         &count, &block);
        if (!waitForRecord(event))
            return;
        CallerText text = callerTextOf(record);
        notifyCallerNumber(hostWindow, text.text);
    }
}

void TRecvITMUXThread::ThreadMain() {
    // What an outstanding request may write lives until the device is closed: declared before
    // the device, so it is destroyed after it.
    itusb::RequestBlock block{};
    EventRecord record{};
    uint32_t count = 0;

    LibraryHold library(*this);
    if (!library.loaded()) {
        notifyDriverError(hostWindow, kDriverLoadFailed);
        return;
    }
    std::optional<itusb::ItmuxEntries> entries = itusb::lookUpItmuxEntries(hLibrary);
    if (!entries) {
        notifyDriverError(hostWindow, kDriverEntryMissing);
        return;
    }
    // The event handed to the driver outlives the device: a request the driver completes late
    // signals this event, never a descriptor or handle reused for something else meanwhile.
    WaitEvent wait(*this);
    DeviceHold device(*this, *entries, block);
    if (!device.opened()) {
        notifyDriverError(hostWindow, kDriverFailed);
        return;
    }
    if (!wait.event.valid()) {
        // Without an event nothing can ever be heard: say so instead of waiting mutely.
        notifyDriverError(hostWindow, kDriverFailed);
        return;
    }
    watchEvents(*entries, wait.event, block, record, count);
}

} // namespace kalvix3
