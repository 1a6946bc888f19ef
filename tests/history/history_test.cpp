// Serial call history over the scripted port: a number-display adapter that answers "M" requests.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>

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

struct StoredCall {
    std::string monthDay, hourMinute, number;
};

std::string historyFrame(const StoredCall &call) {
    std::string number = call.number;
    number.resize(20, ' ');
    return "\x02" + call.monthDay + " " + call.hourMinute + number + "\x03";
}

int utcYearNow() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    return parts.tm_year + 1900;
}

class SerialHistory : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 3, 2), 0);
        device = ports.device("COM3");
        ASSERT_TRUE(device->waitUntil([&] { return device->waitPending(); }, scaled(2s)));
    }
    void TearDown() override { CloseCommLineEx(0); }

    // The device answers entry n with calls[n - 1], and nothing beyond.
    void answer(std::vector<StoredCall> calls) {
        device->onWrite([this, calls](const std::string &bytes) {
            if (bytes.size() != 7 || bytes[0] != '\x02' || bytes[1] != 'M')
                return;
            ++requests;
            size_t entry = static_cast<size_t>((bytes[2] - '0') * 10 + (bytes[3] - '0'));
            entryNumbers.push_back(bytes.substr(2, 2));
            if (entry >= 1 && entry <= calls.size())
                device->inject(historyFrame(calls[entry - 1]));
        });
    }

    ScriptedPorts ports;
    HostWindow host;
    std::shared_ptr<ScriptedDevice> device;
    std::atomic<int> requests{0};
    std::vector<std::string> entryNumbers;
};

TEST_F(SerialHistory, DeviceThatAnswersThreeEntries) {
    answer({{"0315", "1042", "0312345678"}, {"1231", "2359", "P"}, {"0101", "0000", "O"}});
    HistoryRecord records[30];
    std::memset(records, 0xEE, sizeof records);
    int32_t count = 30;
    ASSERT_EQ(GetHistoryEx(0, &count, records), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(requests.load(), 4);
    EXPECT_EQ(entryNumbers, (std::vector<std::string>{"01", "02", "03", "04"}));
    std::string year = std::to_string(utcYearNow());
    EXPECT_EQ(std::string(records[0].number, 10), "0312345678");
    EXPECT_EQ(static_cast<uint8_t>(records[0].number[10]), 0xEE); // only the named bytes
    EXPECT_EQ(std::string(records[0].date, 8), year + "0315");
    EXPECT_EQ(static_cast<uint8_t>(records[0].date[8]), 0xEE);
    EXPECT_EQ(std::string(records[0].time, 6), "104200");
    EXPECT_EQ(static_cast<uint8_t>(records[0].time[6]), 0xEE);
    EXPECT_EQ(records[1].number[0], 'P');
    EXPECT_EQ(std::string(records[2].date, 8), year + "0101");
    EXPECT_EQ(static_cast<uint8_t>(records[3].number[0]), 0xEE);
    // No acknowledgement is sent in history mode.
    EXPECT_EQ(device->written().find('\x06'), std::string::npos);
}

TEST_F(SerialHistory, EntryNumbersHaveTwoDigits) {
    std::vector<StoredCall> calls(12, {"0101", "0101", "0311112222"});
    answer(calls);
    HistoryRecord records[11] = {};
    int32_t count = 11;
    ASSERT_EQ(GetHistoryEx(0, &count, records), 0);
    EXPECT_EQ(count, 11);
    ASSERT_EQ(entryNumbers.size(), 11u);
    EXPECT_EQ(entryNumbers[8], "09");
    EXPECT_EQ(entryNumbers[9], "10");
}

TEST_F(SerialHistory, ZeroCountSendsNothing) {
    answer({{"0315", "1042", "0312345678"}});
    int32_t count = 0;
    EXPECT_EQ(GetHistoryEx(0, &count, nullptr), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(requests.load(), 0);
}

TEST_F(SerialHistory, BlankAnswerEndsTheList) {
    answer({{"0315", "1042", "0312345678"}, {"0315", "1043", "   "}});
    HistoryRecord records[5] = {};
    int32_t count = 5;
    ASSERT_EQ(GetHistoryEx(0, &count, records), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(requests.load(), 2);
}

TEST_F(SerialHistory, LongNumbersKeepTheirFirstSixteenCharacters) {
    answer({{"0315", "1042", "01234567890123456789"}});
    HistoryRecord records[2] = {};
    int32_t count = 2;
    ASSERT_EQ(GetHistoryEx(0, &count, records), 0);
    EXPECT_EQ(std::string(records[0].number, 16), "0123456789012345");
    EXPECT_EQ(std::string(records[0].date + 4, 4), "0315");
}

TEST_F(SerialHistory, CountAboveNinetyNineAsksForNinetyNine) {
    std::vector<StoredCall> calls(120, {"0101", "0101", "0311112222"});
    answer(calls);
    std::vector<HistoryRecord> records(150);
    int32_t count = 150;
    ASSERT_EQ(GetHistoryEx(0, &count, records.data()), 0);
    EXPECT_EQ(count, 99);
    EXPECT_EQ(requests.load(), 99);
    EXPECT_EQ(entryNumbers.back(), "99");
}

TEST_F(SerialHistory, CallsAreReportedAgainAfterTheRead) {
    answer({});
    HistoryRecord records[3] = {};
    int32_t count = 3;
    ASSERT_EQ(GetHistoryEx(0, &count, records), 0);
    EXPECT_EQ(count, 0);
    ASSERT_TRUE(device->waitUntil([&] { return device->currentMask() == 0x81; }, scaled(2s)));
    device->inject(historyFrame({"0315", "1042", "0399998888"}) + "\x02");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    EXPECT_EQ(host.texts()[0], "0399998888");
}

TEST(HistoryDispatch, KindsWithoutAReader) {
    ScriptedPorts ports;
    HostWindow host;
    for (int32_t kind : {5, 14, 17, 30, 50}) {
        ASSERT_EQ(OpenCommLineEx(1, host.window(), 4, kind), 0);
        int32_t count = 7;
        HistoryRecord records[7] = {};
        EXPECT_EQ(GetHistoryEx(1, &count, records), KALVIX3_HISTORY_NO_READER) << kind;
        EXPECT_EQ(count, 7);
        CloseCommLineEx(1);
        EXPECT_EQ(ports.device("COM4")->written().find("\x02M"), std::string::npos);
    }
}

TEST(HistoryDispatch, SlotWithoutALiveLine) {
    ScriptedPorts ports;
    HostWindow host;
    ASSERT_EQ(OpenCommLineEx(1, host.window(), 4, 2), 0);
    CloseCommLineEx(1);
    int32_t count = 4;
    HistoryRecord records[4] = {};
    EXPECT_EQ(GetHistoryEx(1, &count, records), KALVIX3_HISTORY_FAILED);
    EXPECT_EQ(count, 4);
}

} // namespace
