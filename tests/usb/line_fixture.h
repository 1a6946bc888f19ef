// A test with USB lines on the stand-in ITUSB.DLL: closes both slots after the test and checks
// that no driver entry got unexpected arguments.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "itusb/records.h"
#include "kalvix3.h"
#include "main/lines.h"
#include "main/usb_lines.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"
#include "stand_in.h"
#include "support/host_window.h"

namespace kalvix3::testing {

using Bytes = std::vector<uint8_t>;

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
                              std::chrono::seconds(2)));
    }

    int32_t statusReads() const { return sim->controlCalls(itusb::kCallerStatusCode); }
    int32_t eventRequests() const {
        return sim->callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0);
    }
    // Waits for `polls` more status reads: the body has then handled every read before them.
    void awaitPolls(int polls) {
        int32_t seen = statusReads();
        ASSERT_TRUE(waitUntil([&] { return statusReads() >= seen + polls; },
                              std::chrono::seconds(polls + 3)));
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
