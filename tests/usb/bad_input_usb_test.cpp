// Hostile host arguments on the USB kinds, against the stand-in ITUSB.DLL: port numbers (which
// these kinds ignore), history counts and buffers shorter than the adapter's list on both
// readers, and telephone ports outside 1 to 3 on every dialing kind (nothing is sent).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "support/line_fixture.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::testing::StandIn;
using kalvix3::testing::scaled;

namespace {

class BadUsbInput : public kalvix3::testing::UsbLineTest {
protected:
    // Opens slot 0 and waits until the receive thread holds what history and dialing use:
    // the control entry (kinds 32, 34) or the open device (kinds 36, 38, 40, 42).
    void openReady(int32_t kind) {
        int32_t requests = eventRequests();
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, kind), KALVIX3_OK);
        bool polled = kind == 32 || kind == 34;
        ASSERT_TRUE(kalvix3::testing::waitUntil(
            [&] {
                return polled ? usbThread().controlAvailable()
                              : eventRequests() > requests;
            },
            scaled(3s)));
    }
};

constexpr uint8_t kGuard = 0xA5;
const int32_t kUsbKinds[] = {32, 34, 36, 38, 40, 42};

TEST_F(BadUsbInput, AnyPortNumberOpensAUsbKind) {
    useStandIn();
    for (int32_t kind : kUsbKinds) {
        for (int32_t port : {INT32_MIN, -1, 0, 10, 255, INT32_MAX}) {
            ASSERT_EQ(OpenCommLineEx(1, host.window(), port, kind), KALVIX3_OK)
                << "kind " << kind << " port " << port;
            EXPECT_EQ(CloseCommLineEx(1), 1);
        }
    }
    EXPECT_EQ(host.count(), 0u);
}

TEST_F(BadUsbInput, HistoryCountsAndShortBuffersOnBothReaders) {
    StandIn &sim = useStandIn();
    for (int i = 0; i < 25; ++i)
        sim.addHistoryEntry(("03" + std::to_string(10000000 + i)).c_str(), "20240506070809");
    struct Case {
        int32_t kind;
        int32_t room;
        int32_t filled;
    };
    // The polled reader asks for whole pages of ten: fewer than ten asks for none.
    const Case cases[] = {{32, 1, 0}, {32, 9, 0},  {32, 10, 10}, {34, 19, 10}, {34, 20, 20},
                          {36, 1, 1}, {38, 2, 2},  {40, 24, 24}, {42, 25, 25}, {36, 26, 25}};
    for (const Case &c : cases) {
        openReady(c.kind);
        for (int32_t *count : {static_cast<int32_t *>(nullptr)}) {
            HistoryRecord one{};
            EXPECT_EQ(GetHistoryEx(0, count, &one), KALVIX3_ERR_ARGUMENT);
        }
        for (int32_t bad : {-1, INT32_MIN}) {
            int32_t count = bad;
            EXPECT_EQ(GetHistoryEx(0, &count, nullptr), KALVIX3_ERR_ARGUMENT);
            EXPECT_EQ(count, bad);
        }
        int32_t some = c.room;
        EXPECT_EQ(GetHistoryEx(0, &some, nullptr), KALVIX3_ERR_ARGUMENT);

        std::vector<HistoryRecord> records(static_cast<size_t>(c.room) + 2);
        std::memset(records.data(), kGuard, records.size() * sizeof(HistoryRecord));
        int32_t count = c.room;
        ASSERT_EQ(GetHistoryEx(0, &count, records.data()), KALVIX3_OK) << "kind " << c.kind;
        EXPECT_EQ(count, c.filled) << "kind " << c.kind << ", room for " << c.room;
        const auto *beyond = reinterpret_cast<const uint8_t *>(records.data() + c.filled);
        size_t untouched = (records.size() - static_cast<size_t>(c.filled)) * sizeof(HistoryRecord);
        for (size_t i = 0; i < untouched; ++i)
            ASSERT_EQ(beyond[i], kGuard) << "kind " << c.kind << ", room for " << c.room;
        CloseCommLineEx(0);
    }
}

TEST_F(BadUsbInput, TelephonePortsOutsideOneToThreeSendNothingOnAnyDialingKind) {
    StandIn &sim = useStandIn();
    for (int32_t kind : kUsbKinds) {
        openReady(kind);
        for (int32_t telPort : {0, 4, -1, 255, INT32_MIN, INT32_MAX})
            KalvixDialEx(0, telPort, "0312345678");
        EXPECT_EQ(sim.controlCalls(itusb::kDialStartCode), 0) << "kind " << kind;
        EXPECT_EQ(sim.callCount(SIMUSB_CONTROL_TA, 0), 0) << "kind " << kind;
        EXPECT_EQ(_DialForm, nullptr);
        CloseCommLineEx(0);
    }
}

} // namespace
