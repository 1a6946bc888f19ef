// Fixtures of the tests that run real lines on POSIX.
// Serial: a temporary COM directory (KALVIX3_COM_DIR) whose entries link to simulated devices,
// and observed ports: the system's serial ports wrapped so that a test can see what a line's
// receive thread is doing (listening for events, writing) and wait for that instead of sleeping.
// USB: UsbLineTest, for the programs built with the stand-in ITUSB.DLL (KALVIX3_STAND_IN_ITUSB).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace kalvix3::testing {

// A fresh directory set as KALVIX3_COM_DIR; removed, links and all, when destroyed.
class ComDirectory {
public:
    ComDirectory();
    ~ComDirectory();
    ComDirectory(const ComDirectory &) = delete;
    ComDirectory &operator=(const ComDirectory &) = delete;

    // Makes COM<port> a symbolic link to `target`.
    void link(int port, const std::string &target);
    std::string path() const { return directory; }

private:
    std::string directory;
    std::vector<std::string> links;
};

// What one observed port has seen, filled in as the library uses the port.
class PortLog {
public:
    using Clock = std::chrono::steady_clock;

    // Waits until the port's user has a wait pending under `mask` (or a later one).
    bool waitUntilListening(std::chrono::milliseconds limit, uint32_t mask = 0x81) const;
    // Waits until a wait that began at or after `since` is pending under the receive mask.
    bool waitUntilListeningSince(Clock::time_point since, std::chrono::milliseconds limit) const;
    // Waits until a wait completed at or after `since` (something arrived) and the thread,
    // having dealt with it, listens again.
    bool waitUntilHandledSince(Clock::time_point since, std::chrono::milliseconds limit) const;
    size_t waitStarts() const;   // waitCommEvent calls
    size_t waitChecks() const;   // awaitCommEvent calls
    std::vector<Clock::time_point> writeTimes() const;
    bool isOpen() const;

    // Called by the observed port.
    void noteOpen(bool open);
    void noteMask(uint32_t mask);
    void noteWaitStart(platform::WaitStart result);
    void noteWaitCheck(bool completed);
    void noteWrite();

private:
    bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit) const;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool open = false;
    uint32_t mask = 0;
    bool listening = false;
    size_t starts = 0;
    size_t checks = 0;
    Clock::time_point listeningSince{};
    Clock::time_point lastCompletion{};
    std::vector<Clock::time_point> writes;
};

// Installs a port factory that opens the system's ports and observes them; restores the
// system's factory when destroyed. Logs are kept per port name across opens.
class ObservedPorts {
public:
    ObservedPorts();
    ~ObservedPorts();
    std::shared_ptr<PortLog> log(const std::string &portName);

private:
    std::mutex lock;
    std::map<std::string, std::shared_ptr<PortLog>> logs;
};

} // namespace kalvix3::testing

#ifdef KALVIX3_STAND_IN_ITUSB

#include <gtest/gtest.h>

#include "itusb/records.h"
#include "kalvix3.h"
#include "main/lines.h"
#include "main/usb_lines.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"
#include "support/host_window.h"
#include "support/time_bounds.h"
#include "usb/stand_in.h"

namespace kalvix3::testing {

using Bytes = std::vector<uint8_t>;

// A test with USB lines on the stand-in ITUSB.DLL: closes both slots after the test and checks
// that no driver entry got unexpected arguments.
class UsbLineTest : public ::testing::Test {
protected:
    void TearDown() override {
        CloseCommLineEx(0);
        CloseCommLineEx(1);
        if (sim)
            EXPECT_EQ(sim->badCalls(), 0) << "a driver entry got unexpected arguments";
    }

    StandIn &useStandIn(const char *library = KALVIX3_STAND_IN_ITUSB) {
        sim = std::make_unique<StandIn>(library);
        return *sim;
    }
    // Opens slot 0 on the stand-in and waits until the receive thread talks to the adapter.
    void openLine(int32_t kind) {
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, kind), KALVIX3_OK);
        bool polled = kind == 32 || kind == 34;
        ASSERT_TRUE(waitUntil([&] { return polled ? statusReads() >= 1 : eventRequests() >= 1; },
                              scaled(std::chrono::seconds(2))));
    }

    int32_t statusReads() const { return sim->controlCalls(itusb::kCallerStatusCode); }
    int32_t eventRequests() const {
        return sim->callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0);
    }
    // Waits for `polls` more status reads: the body has then handled every read before them.
    void awaitPolls(int polls) {
        int32_t seen = statusReads();
        ASSERT_TRUE(waitUntil([&] { return statusReads() >= seen + polls; },
                              scaled(std::chrono::seconds(polls + 3))));
    }
    void setStatus(Bytes bytes) {
        bytes.resize(sizeof(itusb::CallerStatusRecord), 0);
        sim->setStatusRecord(bytes.data());
    }
    void pushEvent(Bytes bytes, const std::string &number = "") {
        bytes.resize(sizeof(itusb::EventRecord), 0);
        std::copy(number.begin(), number.end(), bytes.begin() + 5);
        sim->pushEventRecord(bytes.data());
    }
    LineSlot &line(int32_t slot = 0) { return *lineSlot(slot); }
    TRecvUSBThread &usbThread(int32_t slot = 0) { return *usbThreadOf(*lineSlot(slot)); }
    TRecvITMUXThread &itmuxThread(int32_t slot = 0) { return *itmuxThreadOf(*lineSlot(slot)); }
    UsbLine &usbLine(int32_t slot = 0) { return *lineSlot(slot)->as<UsbLine>(); }
    ItmuxLine &itmuxLine(int32_t slot = 0) { return *lineSlot(slot)->as<ItmuxLine>(); }

    std::unique_ptr<StandIn> sim;
    HostWindow host;
};

} // namespace kalvix3::testing

#endif // KALVIX3_STAND_IN_ITUSB
