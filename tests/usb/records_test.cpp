// The byte-level rules of the USB adapters, one row per record: caller texts, new-record
// detection, history entries and dial requests.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "main/digits.h"
#include "main/usb_access.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"

using namespace kalvix3;
using namespace kalvix3::itusb;

namespace {

using Bytes = std::vector<uint8_t>;

template <typename Record> std::unique_ptr<Record> recordOf(const Bytes &bytes) {
    auto record = std::make_unique<Record>();
    std::memset(record.get(), 0, sizeof(Record));
    std::memcpy(record.get(), bytes.data(), std::min(bytes.size(), sizeof(Record)));
    return record;
}

Bytes withText(Bytes head, const std::string &text) {
    head.insert(head.end(), text.begin(), text.end());
    return head;
}

std::string numberOf(const HistoryRecord &record) {
    return std::string(record.number, strnlen(record.number, sizeof record.number));
}

// ---- Caller status records (kinds 32, 34) ----------------------------------------------------

TEST(CallerStatusText, ByReason) {
    struct Case {
        Bytes record;
        const char *text;
    };
    const Case cases[] = {
        {{1, 255, 10, 0x03, 0x12, 0x34, 0x56, 0x78}, "0312345678"},
        {{1, 255, 3, 0x12, 0x3F}, "123"},
        {{1, 255, 6, 0xAB, 0xCD, 0xEF}, ":;<=>?"},
        {{1, 255, 0, 0x12}, ""},
        {{1, 1}, "P"},
        {{1, 3}, "C"},
        {{1, 254}, "O"},
        {{1, 0, 0x41, 0x42}, ""},        // reason 0: the text is byte 0 alone, a control byte
        {{1, 2}, ""},                     // nothing visible before the first zero byte
        {{1, 2, 0x20, 0x09, 0x20}, ""},   // blanks and control bytes do not count
        {{1, 2, 0x41}, "O"},
        {{1, 2, 0x20, 0x80}, "O"},        // bytes above 0x7F are visible
        {{1, 2, 0x00, 0x41}, ""},         // a zero byte ends the text before the letter
        {{1, 0x4E}, ""},
        {{1, 0x77, 3, 0x12, 0x30}, ""},
    };
    for (const Case &c : cases) {
        auto record = recordOf<CallerStatusRecord>(c.record);
        EXPECT_STREQ(callerTextOf(*record).text, c.text) << "reason " << int(c.record[1]);
    }
}

TEST(CallerStatusText, LongNumbersKeepTheirFirstTwentyDigits) {
    Bytes sixteen = {1, 255, 16};
    sixteen.insert(sixteen.end(), 8, 0x12);
    EXPECT_STREQ(callerTextOf(*recordOf<CallerStatusRecord>(sixteen)).text, "1212121212121212");

    Bytes most = {1, 255, 255}; // more digits than the record holds
    most.insert(most.end(), 40, 0x98);
    EXPECT_STREQ(callerTextOf(*recordOf<CallerStatusRecord>(most)).text, "98989898989898989898");
}

TEST(CallerStatusText, RecordWithoutZeroByteIsReadNoFurtherThanItsEnd) {
    Bytes full(sizeof(CallerStatusRecord), 0x21);
    full[0] = 1;
    full[1] = 2;
    EXPECT_STREQ(callerTextOf(*recordOf<CallerStatusRecord>(full)).text, "O");
    Bytes blank(sizeof(CallerStatusRecord), 0x20);
    blank[0] = 1;
    blank[1] = 2;
    EXPECT_STREQ(callerTextOf(*recordOf<CallerStatusRecord>(blank)).text, "");
}

TEST(CallerStatusChange, OnlyBytesOneToThirtySevenAndThirtyNineCount) {
    Bytes base = {1, 1, 0, 0x12};
    auto baseline = recordOf<CallerStatusRecord>(base);
    for (size_t i = 0; i < sizeof(CallerStatusRecord); ++i) {
        Bytes changed = base;
        changed.resize(sizeof(CallerStatusRecord), 0);
        changed[i] ^= 0x40;
        bool compared = (i >= 1 && i <= 37) || i == 39;
        bool reported = compared && changed[1] != 0x4E;
        EXPECT_EQ(namesNewCaller(*recordOf<CallerStatusRecord>(changed), *baseline), reported)
            << "byte " << i;
    }
    EXPECT_FALSE(namesNewCaller(*baseline, *baseline));
}

TEST(CallerStatusChange, NeedsByteZeroOneAndAReasonOtherThanN) {
    auto baseline = recordOf<CallerStatusRecord>({1, 1});
    EXPECT_FALSE(namesNewCaller(*recordOf<CallerStatusRecord>({0, 3}), *baseline));
    EXPECT_FALSE(namesNewCaller(*recordOf<CallerStatusRecord>({2, 3}), *baseline));
    EXPECT_FALSE(namesNewCaller(*recordOf<CallerStatusRecord>({1, 0x4E}), *baseline));
    EXPECT_TRUE(namesNewCaller(*recordOf<CallerStatusRecord>({1, 3}), *baseline));
}

// ---- Event records (kinds 36, 38, 40, 42) ----------------------------------------------------

TEST(EventRecordText, ByFlagsAndReason) {
    struct Case {
        Bytes record;
        const char *text;
    };
    const Case cases[] = {
        {withText({1, 0, 1, 255, 0}, "0312345678"), "0312345678"},
        {{1, 0, 1, 255}, ""},
        {withText({1, 0, 1, 255, 0}, std::string("03\0" "99", 5)), "03"},
        {{1, 0, 1, 0}, "O"},
        {{1, 0, 1, 2}, "O"},
        {{1, 0, 1, 254}, "O"},
        {{1, 0, 1, 1}, "P"},
        {{1, 0, 1, 3}, "C"},
        {{1, 0, 1, 0x4E}, ""},
        {{1, 0, 1, 0x77}, ""},
        {{1, 9, 1, 1}, "P"},                        // byte 1 is not read
        {withText({0, 0, 1, 255, 0}, "0312"), ""},  // byte 0 must be 1
        {withText({1, 0, 0, 255, 0}, "0312"), ""},  // byte 2 must be 1
        {{2, 0, 1, 1}, ""},
        {{1, 0, 2, 1}, ""},
    };
    for (const Case &c : cases) {
        auto record = recordOf<EventRecord>(c.record);
        EXPECT_STREQ(callerTextOf(*record).text, c.text) << "reason " << int(c.record[3]);
    }
}

TEST(EventRecordText, FullNumberFieldGivesAllFifteenCharacters) {
    Bytes full = withText({1, 0, 1, 255, 0}, "123456789012345");
    full.resize(sizeof(EventRecord), 0x37); // no zero byte after the field either
    EXPECT_STREQ(callerTextOf(*recordOf<EventRecord>(full)).text, "123456789012345");
}

// ---- History page entries (kinds 32, 34) -----------------------------------------------------

Bytes pageEntry(uint8_t reason, Bytes digits, Bytes date = {0x05, 0x01, 0x02, 0, 0x03, 0x04, 0x05}) {
    Bytes entry(39, 0);
    entry[0] = reason;
    for (size_t i = 0; i < digits.size(); ++i)
        entry[1 + i] = digits[i];
    for (size_t i = 0; i < date.size(); ++i)
        entry[30 + i] = date[i];
    return entry;
}

TEST(HistoryPageEntry, GivesNumberOrLetterDateAndTime) {
    struct Case {
        Bytes entry;
        std::string number;
        const char *date;
        const char *time;
    };
    const Case cases[] = {
        {pageEntry(0xFF, {3, 0x03, 0x10}), "031", "20050102", "030405"},
        {pageEntry(0xFF, {10, 0x03, 0x12, 0x34, 0x56, 0x78}), "0312345678", "20050102", "030405"},
        {pageEntry(0x01, {}, {0x99, 0x12, 0x31, 0x77, 0x23, 0x59, 0x58}), "P", "19991231", "235958"},
        {pageEntry(0x03, {}, {0x98, 0x01, 0x01, 0, 0, 0, 0}), "C", "19980101", "000000"},
        {pageEntry(0x00, {}, {0x97, 0x06, 0x30, 0, 0x12, 0, 0}), "O", "20970630", "120000"},
        {pageEntry(0x02, {}, {0x00, 0x02, 0x29, 0, 0, 0, 0}), "O", "20000229", "000000"},
        {pageEntry(0xFE, {}, {0x10, 0x1A, 0x3F, 0, 0xA0, 0, 0}), "O", "20101:3?", ":00000"},
        {pageEntry(0xFF, {6, 0xAB, 0xCD, 0xEF}), ":;<=>?", "20050102", "030405"},
    };
    for (const Case &c : cases) {
        auto entry = recordOf<HistoryPageEntry>(c.entry);
        HistoryRecord record;
        std::memset(&record, 0x55, sizeof record);
        ASSERT_EQ(readPageEntry(*entry, record), EntryResult::Record) << c.number;
        EXPECT_EQ(numberOf(record), c.number);
        EXPECT_EQ(std::string(record.date, 8), c.date);
        EXPECT_EQ(std::string(record.time, 6), c.time);
        // Whole records are handed over: what is not written is zero.
        EXPECT_EQ(record.number[c.number.size()], 0);
        EXPECT_EQ(record.date[8] | record.date[9] | record.time[6] | record.time[7], 0);
    }
}

TEST(HistoryPageEntry, EndMarkAndEntriesWithoutText) {
    HistoryRecord record{};
    EXPECT_EQ(readPageEntry(*recordOf<HistoryPageEntry>(pageEntry(0x4E, {})), record),
              EntryResult::EndOfList);
    EXPECT_EQ(readPageEntry(*recordOf<HistoryPageEntry>(pageEntry(0x77, {3, 0x12, 0x30})), record),
              EntryResult::NoRecord);
    EXPECT_EQ(readPageEntry(*recordOf<HistoryPageEntry>(pageEntry(0xFF, {0, 0x12})), record),
              EntryResult::NoRecord);
}

TEST(HistoryPageEntry, LongNumbersFillTheSixteenCharacterField) {
    Bytes digits = {40};
    digits.insert(digits.end(), 20, 0x12);
    HistoryRecord record{};
    ASSERT_EQ(readPageEntry(*recordOf<HistoryPageEntry>(pageEntry(0xFF, digits)), record),
              EntryResult::Record);
    EXPECT_EQ(std::string(record.number, 16), "1212121212121212");
    EXPECT_EQ(std::string(record.date, 8), "20050102");
}

// ---- History buffer entries (kinds 36, 38, 40, 42) -------------------------------------------

Bytes bufferEntry(uint8_t valid, uint8_t reason, const std::string &number = "",
                  Bytes date = {0x11, 0x20, 0x04, 0x25, 0, 0x12, 0x34, 0x56}) {
    Bytes entry(66, 0);
    entry[1] = valid;
    entry[2] = reason;
    std::memcpy(entry.data() + 4, number.data(), std::min<size_t>(number.size(), 15));
    for (size_t i = 0; i < date.size(); ++i)
        entry[56 + i] = date[i];
    return entry;
}

TEST(HistoryBufferEntry, GivesNumberOrLetterDateAndTime) {
    struct Case {
        Bytes entry;
        std::string number;
        const char *date;
        const char *time;
    };
    const Case cases[] = {
        {bufferEntry(1, 0xFF, "0312345678"), "0312345678", "20110425", "123456"},
        {bufferEntry(1, 0xFF, "123456789012345"), "123456789012345", "20110425", "123456"},
        {bufferEntry(1, 0x01, "", {0x99, 0x19, 0x12, 0x31, 9, 0x23, 0x59, 0x59}), "P", "19991231",
         "235959"},
        {bufferEntry(1, 0x03), "C", "20110425", "123456"},
        {bufferEntry(1, 0x00), "O", "20110425", "123456"},
        {bufferEntry(1, 0x02), "O", "20110425", "123456"},
        {bufferEntry(1, 0xFE), "O", "20110425", "123456"},
    };
    for (const Case &c : cases) {
        HistoryRecord record;
        std::memset(&record, 0x55, sizeof record);
        ASSERT_EQ(readBufferEntry(*recordOf<HistoryBufferEntry>(c.entry), record),
                  EntryResult::Record)
            << c.number;
        EXPECT_EQ(numberOf(record), c.number);
        EXPECT_EQ(record.number[15], 0);
        EXPECT_EQ(std::string(record.date, 8), c.date);
        EXPECT_EQ(std::string(record.time, 6), c.time);
    }
}

TEST(HistoryBufferEntry, InvalidEntriesAreSkippedEvenWhenTheyMarkTheEnd) {
    HistoryRecord record{};
    auto read = [&](const Bytes &entry) {
        return readBufferEntry(*recordOf<HistoryBufferEntry>(entry), record);
    };
    EXPECT_EQ(read(bufferEntry(0, 0x4E)), EntryResult::NoRecord);
    EXPECT_EQ(read(bufferEntry(2, 0x01)), EntryResult::NoRecord);
    EXPECT_EQ(read(bufferEntry(1, 0x4E)), EntryResult::EndOfList);
    EXPECT_EQ(read(bufferEntry(1, 0xFF, "")), EntryResult::NoRecord);
    EXPECT_EQ(read(bufferEntry(1, 0x77, "0312")), EntryResult::NoRecord);
}

// ---- Dial requests ---------------------------------------------------------------------------

TEST(UsbDialRequest, PacksDigitValuesAndThePortBit) {
    struct Case {
        const char *number;
        int32_t port;
        Bytes head; // bytes from 0; the rest up to byte 29 are zero
        uint8_t portBit;
    };
    const Case cases[] = {
        {"03-1234-5678", 1, {8, 10, 0x03, 0x12, 0x34, 0x56, 0x78}, 0x01},
        {"123", 2, {8, 3, 0x12, 0x30}, 0x04},
        {"", 3, {8, 0}, 0x10},
        {"1234567890123456789", 1,
         {8, 19, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90}, 0x01},
    };
    for (const Case &c : cases) {
        auto request = usbDialRequestFor(digitTextOf(c.number), c.port);
        ASSERT_TRUE(request) << c.number;
        Bytes expected = c.head;
        expected.resize(sizeof(UsbDialRequest), 0);
        expected[30] = c.portBit;
        Bytes actual(sizeof *request);
        std::memcpy(actual.data(), &*request, actual.size());
        EXPECT_EQ(actual, expected) << c.number;
    }
}

TEST(TaDialRequest, CarriesTheDigitTextAndThePortIndex) {
    struct Case {
        const char *number;
        int32_t port;
        std::string digits;
    };
    const Case cases[] = {
        {"03-1234-5678", 1, "0312345678"},
        {"(0120) 11 22 33", 3, "0120112233"},
        {"", 2, ""},
    };
    for (const Case &c : cases) {
        auto request = taDialRequestFor(digitTextOf(c.number), c.port);
        ASSERT_TRUE(request) << c.number;
        Bytes expected(sizeof(TaDialRequest), 0);
        expected[0] = static_cast<uint8_t>(c.digits.size());
        std::memcpy(expected.data() + 1, c.digits.data(), c.digits.size());
        expected[53] = static_cast<uint8_t>(c.port - 1);
        Bytes actual(sizeof *request);
        std::memcpy(actual.data(), &*request, actual.size());
        EXPECT_EQ(actual, expected) << c.number;
    }
}

TEST(DialRequests, NothingForPortsOutsideOneToThreeOrTooLongNumbers) {
    for (int32_t port : {0, 4, -1, 100}) {
        EXPECT_FALSE(usbDialRequestFor(digitTextOf("0312345678"), port)) << port;
        EXPECT_FALSE(taDialRequestFor(digitTextOf("0312345678"), port)) << port;
    }
    DigitText tooLong = digitTextOf("12345678901234567890");
    ASSERT_TRUE(tooLong.tooLong);
    EXPECT_FALSE(usbDialRequestFor(tooLong, 1));
    EXPECT_FALSE(taDialRequestFor(tooLong, 1));
}

} // namespace
