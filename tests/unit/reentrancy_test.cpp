// Window procedures that call back into the library from inside a notification.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kalvix3.h"
#include "main/lines.h"
#include "support/host_window.h"
#include "support/scripted_port.h"
#include "support/time_bounds.h"

using namespace std::chrono_literals;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ReceivedMessage;
using kalvix3::testing::ScriptedPorts;
using kalvix3::testing::scaled;

namespace {

class Reentrancy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 7, 14), 0);
        device = ports.device("COM7");
        ASSERT_TRUE(device->waitUntil(
            [&] { return device->writes().size() == 3 && device->waitPending(); }, scaled(2s)));
    }
    void TearDown() override { CloseCommLineEx(0); }
    ScriptedPorts ports;
    HostWindow host;
    std::shared_ptr<kalvix3::testing::ScriptedDevice> device;
};

TEST_F(Reentrancy, ClosingTheOwnLineFromItsNotificationIsRefused) {
    std::atomic<int32_t> result{0};
    host.onMessage([&](const ReceivedMessage &) { result = CloseCommLineEx(0); });
    device->inject("RING   111\r");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    ASSERT_TRUE(device->waitUntil([&] { return device->currentMask() == 0x81; }, scaled(2s)));
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(kalvix3::lineSlot(0)->isOpen());
    host.onMessage(nullptr);
    device->inject("RING   222\r");
    ASSERT_TRUE(host.waitForCount(2, scaled(2s))); // the line still reports
}

TEST_F(Reentrancy, DialAndHistoryFromANotificationDoNotDeadlock) {
    std::atomic<bool> done{false};
    host.onMessage([&](const ReceivedMessage &) {
        KalvixDialEx(0, 1, "0312345678");
        int32_t count = 2;
        HistoryRecord records[2] = {};
        GetHistoryEx(0, &count, records); // kind 14 keeps no history: refused at once
        done = true;
    });
    device->inject("RING   111\r");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    ASSERT_TRUE(device->waitUntil([&] { return done.load(); }, scaled(3s)));
    EXPECT_NE(device->written().find("AT\\D1/0312345678\r\n"), std::string::npos);
}

TEST_F(Reentrancy, CloseWaitsForASlowWindowProcedure) {
    std::atomic<bool> release{false};
    std::atomic<bool> closed{false};
    host.onMessage([&](const ReceivedMessage &) {
        while (!release)
            std::this_thread::sleep_for(5ms);
    });
    device->inject("RING   111\r");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    // Close from the host's thread while the procedure is still busy: it returns only once the
    // procedure does.
    std::thread closer([&] {
        CloseCommLineEx(0);
        closed = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(closed) << "the close returned while the procedure still ran";
    release = true;
    closer.join();
    EXPECT_FALSE(kalvix3::lineSlot(0)->isOpen());
}

} // namespace
