#include <gtest/gtest.h>

#include <cstring>

#include "kalvix3.h"
#include "main/lines.h"
#include "support/host_window.h"
#include "support/scripted_port.h"

using namespace kalvix3;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ScriptedPorts;

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

TEST(Exports, SlotsOutsideTheTableTouchNothing) {
    HostWindow host;
    for (int32_t slot : {-1, 2, 3, 1000, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(OpenCommLineEx(slot, host.window(), 3, 2), KALVIX3_ERR_ARGUMENT);
        EXPECT_EQ(CloseCommLineEx(slot), 1);
        int32_t count = 5;
        HistoryRecord records[5] = {};
        EXPECT_EQ(GetHistoryEx(slot, &count, records), KALVIX3_ERR_ARGUMENT);
        EXPECT_EQ(count, 5);
        KalvixDialEx(slot, 1, "0312345678");
    }
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

TEST(Exports, DialWithNullNumberDoesNothing) {
    KalvixDialEx(0, 1, nullptr);
    KalvixDial(1, nullptr);
}

} // namespace
