#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "kalvix3.h"
#include "main/lines.h"
#include "support/host_window.h"
#include "support/scripted_port.h"
#include "support/time_bounds.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ScriptedDevice;
using kalvix3::testing::ScriptedPorts;
using kalvix3::testing::scaled;

namespace {

TEST(Exports, KindsOutsideTheCatalogueAreRefusedAndRecorded) {
    ScriptedPorts ports;
    HostWindow host;
    for (int32_t kind : {0, 9, 11, 12, 44, 46, 48, 49, 51, 59, 61, 69, 72, 200, -1}) {
        EXPECT_EQ(OpenCommLineEx(1, host.window(), 3, kind), KALVIX3_ERR_KIND) << kind;
        EXPECT_EQ(lineSlot(1)->kind, kind);
        EXPECT_FALSE(lineSlot(1)->isOpen());
        EXPECT_EQ(CloseCommLineEx(1), 1);
    }
    EXPECT_FALSE(ports.device("COM3")->isOpen());
    EXPECT_TRUE(ports.device("COM3")->calls().empty());
}

// A slot number outside the table must reach neither of the two lines (no wrap, no masking to
// a valid index) nor open a port of its own.
TEST(Exports, SlotsOutsideTheTableTouchNothing) {
    ScriptedPorts ports;
    HostWindow host;
    std::shared_ptr<ScriptedDevice> lines[2];
    for (int32_t slot : {0, 1}) {
        ASSERT_EQ(OpenCommLineEx(slot, host.window(), 3 + slot, 15), KALVIX3_OK);
        lines[slot] = ports.device("COM" + std::to_string(3 + slot));
    }
    for (auto &device : lines) {
        ASSERT_TRUE(device->waitUntil(
            [&] { return device->currentMask() == 0x81 && device->waitPending(); }, scaled(3s)));
        device->clearRecord();
    }
    for (int32_t slot : {-1, 2, 3, 1000, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(OpenCommLineEx(slot, host.window(), 5, 2), KALVIX3_ERR_ARGUMENT) << slot;
        EXPECT_EQ(CloseCommLineEx(slot), 1);
        int32_t count = 5;
        HistoryRecord records[5] = {};
        EXPECT_EQ(GetHistoryEx(slot, &count, records), KALVIX3_ERR_ARGUMENT);
        EXPECT_EQ(count, 5);
        EXPECT_EQ(records[0].number[0], 0);
        KalvixDialEx(slot, 1, "0312345678");
    }
    EXPECT_TRUE(ports.device("COM5")->calls().empty()) << "a port opened for a bad slot";
    for (int32_t slot : {0, 1}) {
        EXPECT_TRUE(lineSlot(slot)->isOpen()) << slot;
        EXPECT_TRUE(lines[slot]->calls().empty()) << "line " << slot << " was touched";
        EXPECT_EQ(CloseCommLineEx(slot), 1);
    }
    EXPECT_EQ(host.count(), 0u);
}

TEST(Exports, PortNameUsesTheFirstDigitOnly) {
    struct Case {
        int32_t port;
        const char *name;
    };
    for (Case c : {Case{3, "COM3"}, Case{1, "COM1"}, Case{12, "COM1"}, Case{0, "COM0"},
                   Case{-5, "COM-"}, Case{987654321, "COM9"}}) {
        char name[10];
        buildPortName(c.port, name);
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(name[9], 0);
    }
}

TEST(Exports, ClosingAnEmptySlotDoesNothing) {
    EXPECT_EQ(CloseCommLineEx(0), 1);
    EXPECT_EQ(CloseCommLine(), 1);
    EXPECT_EQ(CloseCommLineEx(1), 1);
}

TEST(Exports, HistoryArgumentsAreChecked) {
    HistoryRecord records[2] = {};
    EXPECT_EQ(GetHistoryEx(0, nullptr, records), KALVIX3_ERR_ARGUMENT);
    int32_t negative = -1;
    EXPECT_EQ(GetHistoryEx(0, &negative, records), KALVIX3_ERR_ARGUMENT);
    int32_t two = 2;
    EXPECT_EQ(GetHistoryEx(0, &two, nullptr), KALVIX3_ERR_ARGUMENT);
    EXPECT_EQ(GetHistory(12345, nullptr, nullptr), KALVIX3_ERR_ARGUMENT);
}

} // namespace
