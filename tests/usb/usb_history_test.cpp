// The USB history readers against the stand-in: which pages are asked for, the reversed order,
// refusals, and a buffer request that does not complete in time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "main/usb_access.h"
#include "support/line_fixture.h"
#include "support/time_bounds.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::testing::Bytes;
using kalvix3::testing::StandIn;

namespace {

using UsbHistory = kalvix3::testing::UsbLineTest;
using kalvix3::testing::scaled;

std::string numberOf(const HistoryRecord &record) {
    return std::string(record.number, strnlen(record.number, sizeof record.number));
}

// A page whose entries are given as (reason, digit count, packed digits); the rest are zero.
Bytes page(std::initializer_list<Bytes> entries) {
    Bytes bytes(sizeof(itusb::HistoryPage), 0);
    size_t e = 0;
    for (const Bytes &entry : entries) {
        std::copy(entry.begin(), entry.end(), bytes.begin() + 39 * e);
        bytes[39 * e + 30] = 0x24; // 2024-05-06 07:08:09
        bytes[39 * e + 31] = 0x05;
        bytes[39 * e + 32] = 0x06;
        bytes[39 * e + 34] = 0x07;
        bytes[39 * e + 35] = 0x08;
        bytes[39 * e + 36] = 0x09;
        ++e;
    }
    return bytes;
}

std::vector<int> pagesAskedFor(const StandIn &sim) {
    std::vector<int> pages;
    for (const SimUsbCall &call : sim.calls(SIMUSB_EV_USB_CONTROL, itusb::kHistoryPageCode))
        pages.push_back(call.input[0] | (call.input[1] << 8));
    return pages;
}

TEST_F(UsbHistory, FewerThanTenAsksForNoPage) {
    useStandIn().addHistoryEntry("0312345678", "20240506070809");
    openLine(32);
    int32_t count = 9;
    HistoryRecord records[9] = {};
    EXPECT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(sim->controlCalls(itusb::kHistoryPageCode), 0);
}

TEST_F(UsbHistory, EndMarkInTheFirstPageStopsAndRecordsComeReversed) {
    StandIn &sim = useStandIn();
    Bytes first = page({{0xFF, 2, 0x11}, {0xFF, 2, 0x22}, {0x01}, {0x4E}, {0xFF, 2, 0x55}});
    sim.setHistoryPage(0, first.data());
    openLine(34);
    int32_t count = 50;
    HistoryRecord records[50];
    std::memset(records, 0x7E, sizeof records);
    ASSERT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_OK);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(numberOf(records[0]), "P");
    EXPECT_EQ(numberOf(records[1]), "22");
    EXPECT_EQ(numberOf(records[2]), "11");
    EXPECT_EQ(std::string(records[2].date, 8), "20240506");
    EXPECT_EQ(std::string(records[2].time, 6), "070809");
    EXPECT_EQ(records[3].number[0], 0x7E); // beyond the records filled nothing is touched
    EXPECT_EQ(pagesAskedFor(sim), std::vector<int>{0});
}

TEST_F(UsbHistory, EntriesWithoutARecordLeaveNoGapAndLoseNothing) {
    StandIn &sim = useStandIn();
    // Entry 1 has an unknown reason and entry 3 no digits: neither gives a record, and the
    // records after them must still be handed over.
    Bytes first = page({{0xFF, 2, 0x11}, {0x77, 2, 0x99}, {0x03}, {0xFF, 0}, {0xFF, 1, 0x50},
                        {0x4E}});
    sim.setHistoryPage(0, first.data());
    openLine(32);
    int32_t count = 10;
    HistoryRecord records[10] = {};
    ASSERT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_OK);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(numberOf(records[0]), "5");
    EXPECT_EQ(numberOf(records[1]), "C");
    EXPECT_EQ(numberOf(records[2]), "11");
}

TEST_F(UsbHistory, PagesFollowInOrderUpToCountOverTen) {
    StandIn &sim = useStandIn();
    for (int i = 0; i < 35; ++i)
        sim.addHistoryEntry(std::to_string(1000 + i).c_str(), "19990102030405");
    openLine(32);
    int32_t count = 30; // three pages, all full
    HistoryRecord records[30] = {};
    ASSERT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_OK);
    ASSERT_EQ(count, 30);
    EXPECT_EQ(numberOf(records[0]), "1029");
    EXPECT_EQ(numberOf(records[29]), "1000");
    EXPECT_EQ(std::string(records[0].date, 8), "19990102");
    EXPECT_EQ(pagesAskedFor(sim), (std::vector<int>{0, 1, 2}));
}

TEST_F(UsbHistory, PageNumbersBeyondFifteenAreNotAskedFor) {
    StandIn &sim = useStandIn();
    Bytes full = page({{0x01}, {0x01}, {0x01}, {0x01}, {0x01},
                       {0x01}, {0x01}, {0x01}, {0x01}, {0x01}});
    for (int p = 0; p < 16; ++p)
        sim.setHistoryPage(p, full.data());
    openLine(32);
    int32_t count = 200;
    std::vector<HistoryRecord> records(200);
    ASSERT_EQ(ReadUsbHistory(usbLine(), &count, records.data()), KALVIX3_OK);
    EXPECT_EQ(count, 160);
    std::vector<int> expected;
    for (int p = 0; p < 16; ++p)
        expected.push_back(p);
    EXPECT_EQ(pagesAskedFor(sim), expected);
}

TEST_F(UsbHistory, RefusedPageIsAskedForOnceMore) {
    StandIn &sim = useStandIn();
    sim.addHistoryEntry("0312345678", "20050102030405");
    sim.failControl(itusb::kHistoryPageCode, 1, 5, 7);
    openLine(32);
    int32_t count = 10;
    HistoryRecord records[10] = {};
    ASSERT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(numberOf(records[0]), "0312345678");
    EXPECT_EQ(pagesAskedFor(sim), (std::vector<int>{0, 0}));
}

TEST_F(UsbHistory, PageRefusedTwiceFailsAndDropsWhatWasRead) {
    StandIn &sim = useStandIn();
    for (int i = 0; i < 15; ++i)
        sim.addHistoryEntry("0312345678", "20050102030405");
    openLine(32);
    // Page 0 answers; both requests for page 1 are refused.
    sim.onEachControl([&](uint32_t code) {
        if (code == itusb::kHistoryPageCode && sim.controlCalls(itusb::kHistoryPageCode) == 1)
            sim.failControl(itusb::kHistoryPageCode, 2, 5, 7);
    });
    int32_t count = 20;
    HistoryRecord records[20];
    std::memset(records, 0x7E, sizeof records);
    EXPECT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_HISTORY_FAILED);
    EXPECT_EQ(count, 20);
    EXPECT_EQ(records[0].number[0], 0x7E);
    EXPECT_EQ(pagesAskedFor(sim), (std::vector<int>{0, 1, 1}));
}

TEST_F(UsbHistory, BothFormsOfTheSameHistoryGiveTheSameRecords) {
    StandIn &sim = useStandIn();
    sim.addHistoryEntry("0312345678", "20110425123456");
    sim.addHistoryEntry("P", "19991231235959");
    sim.addHistoryEntry("O", "20240229000000");
    HistoryRecord fromPages[10] = {};
    HistoryRecord fromBuffer[10] = {};
    int32_t pageCount = 10, bufferCount = 10;
    openLine(32);
    ASSERT_EQ(ReadUsbHistory(usbLine(), &pageCount, fromPages), KALVIX3_OK);
    CloseCommLineEx(0);
    openLine(36);
    ASSERT_EQ(ReadItmuxHistory(itmuxLine(), &bufferCount, fromBuffer), KALVIX3_OK);
    ASSERT_EQ(pageCount, 3);
    ASSERT_EQ(bufferCount, 3);
    EXPECT_EQ(std::memcmp(fromPages, fromBuffer, sizeof(HistoryRecord) * 3), 0);
    EXPECT_EQ(numberOf(fromBuffer[0]), "O");
    EXPECT_EQ(std::string(fromBuffer[1].date, 8), "19991231");
    EXPECT_EQ(numberOf(fromBuffer[2]), "0312345678");
    EXPECT_EQ(std::string(fromBuffer[2].time, 6), "123456");
}

TEST_F(UsbHistory, BufferCollectsAtMostCountRecordsAndSkipsInvalidEntries) {
    StandIn &sim = useStandIn();
    Bytes buffer(sizeof(itusb::HistoryBuffer), 0);
    for (int k = 0; k < 100; ++k) {
        uint8_t *entry = buffer.data() + 66 * k;
        entry[1] = (k % 2 == 0) ? 1 : 0; // odd entries are not valid
        entry[2] = (k % 2 == 0) ? 0xFF : 0x4E;
        std::string number = std::to_string(100 + k);
        std::memcpy(entry + 4, number.data(), number.size());
        entry[57] = 0x20;
    }
    sim.setHistoryBuffer(buffer.data());
    openLine(42);
    int32_t count = 5;
    HistoryRecord records[6];
    std::memset(records, 0x7E, sizeof records);
    ASSERT_EQ(ReadItmuxHistory(itmuxLine(), &count, records), KALVIX3_OK);
    ASSERT_EQ(count, 5);
    EXPECT_EQ(numberOf(records[0]), "108");
    EXPECT_EQ(numberOf(records[4]), "100");
    EXPECT_EQ(records[5].number[0], 0x7E);
}

TEST_F(UsbHistory, BufferRequestThatDoesNotCompleteIsKeptUntilTheDeviceCloses) {
    StandIn &sim = useStandIn();
    sim.addHistoryEntry("0312345678", "20110425123456");
    sim.holdRequests(1);
    openLine(36);
    int32_t count = 50;
    HistoryRecord records[50] = {};
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(ReadItmuxHistory(itmuxLine(), &count, records), KALVIX3_OK);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(count, 0);
    EXPECT_GE(waited, 4900ms);
    EXPECT_LT(waited, scaled(6000ms));
    // The driver completes it late: it writes into memory the line still owns.
    EXPECT_EQ(sim.completeHeld(), 1);
    // A later read works as usual.
    sim.holdRequests(0);
    count = 50;
    ASSERT_EQ(ReadItmuxHistory(itmuxLine(), &count, records), KALVIX3_OK);
    EXPECT_EQ(count, 1);
}

} // namespace
