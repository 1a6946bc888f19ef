// TRecvITMUXThread: watches a multiplexed NEC Aterm adapter on USB (kinds 36, 38, 40, 42). It
// opens the adapter through the ITUSB_ entries of the driver library, keeps one event request
// outstanding, and sends each event record that names a caller to the host window. Driver
// failures are reported once (311, 312, 313) and end the body; the line stays in the line table
// until it is closed. On its way out the body closes the device, then its event, then the
// library.
//
// Threads: the body runs on its own thread and sends its notifications from there.
// withDevice() is for the host's thread (history, dialing): it runs its function only while the
// device is open, and the body closes the device only after every withDevice() in progress has
// returned. Destruction stops the body and waits for it: a stop wakes the body's wait at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "itusb/caller_text.h"
#include "itusb/itusb.h"
#include "kalvix3.h"
#include "platform/event.h"
#include "platform/module.h"
#include "platform/thread.h"

namespace kalvix3 {

class TRecvITMUXThread;

// The open device as the host's thread sees it inside withDevice().
class ItmuxDevice {
public:
    const platform::Module &library; // ITUSB.DLL, for looking entries up
    itusb::DeviceHandle device;

    // Waits up to `timeoutMs` for the request's event. When it is signalled, resets it and
    // returns true with the request still the caller's. Otherwise the request may still write:
    // it is handed to the receive thread, which frees it after closing the device; `request`
    // is null afterwards and false is returned.
    template <typename Request>
    bool waitOrKeep(std::unique_ptr<Request> &request, uint32_t timeoutMs) {
        if (request->event.wait(timeoutMs)) {
            request->event.reset();
            return true;
        }
        keepUntilClosed(std::unique_ptr<itusb::PendingRequest>(request.release()));
        return false;
    }

private:
    friend class TRecvITMUXThread;
    ItmuxDevice(TRecvITMUXThread &owner, const platform::Module &library,
                itusb::DeviceHandle device)
        : library(library), device(device), owner(owner) {}
    void keepUntilClosed(std::unique_ptr<itusb::PendingRequest> request);
    TRecvITMUXThread &owner;
};

class TRecvITMUXThread : public platform::Thread {
public:
    // Always created suspended; notifications (and a dial's message boxes) go to hostWindow.
    explicit TRecvITMUXThread(Kalvix3Window hostWindow);
    ~TRecvITMUXThread() override;

    const Kalvix3Window hostWindow;

    // Runs `use` on the calling thread while the device is open and returns true; returns
    // false without running it before the device is open and once the body has begun to close
    // it. The device stays open until `use` returns, so `use` must not wait for this line's
    // body (it may block for a bounded time, e.g. a request's 5-second wait).
    bool withDevice(const std::function<void(ItmuxDevice &)> &use);
    // Whether withDevice() would run its function now.
    bool deviceAvailable() const;

protected:
    void ThreadMain() override;
    void onTerminate() override;

private:
    friend class ItmuxDevice;
    class LibraryHold;
    class DeviceHold;
    class WaitEvent;

    void watchEvents(const itusb::ItmuxEntries &entries, platform::Event &event,
                     itusb::RequestBlock &block, itusb::EventRecord &record, uint32_t &count);
    bool waitForRecord(platform::Event &event);
    void keepRequest(std::unique_ptr<itusb::PendingRequest> request);
    void freeKeptRequests();

    // What the host's thread may use; written by the body under the exclusive lock.
    mutable std::shared_mutex accessLock;
    platform::Module hLibrary;
    itusb::DeviceHandle hDevice = 0;
    bool deviceOpen = false;

    // Requests of the host's thread that did not complete in time; freed after the device closes.
    std::mutex keptLock;
    std::vector<std::unique_ptr<itusb::PendingRequest>> keptRequests;

    // The body's event while it exists, so that a stop can wake the wait.
    std::mutex wakeLock;
    platform::Event *waitingOn = nullptr;
};

inline constexpr uint32_t kEventWaitSliceMs = 200;

// The text an event record gives: nothing unless bytes 0 and 2 are 1 and the reason is not
// 0x4E; then "P", "C", "O" (reasons 0, 2, 254), the number field's text (all 15 characters when
// no zero byte ends it), or empty.
itusb::CallerText callerTextOf(const itusb::EventRecord &record);

} // namespace kalvix3
