// Serial dialing over the scripted port: the command bytes, DTR and pacing of each procedure.
#include <gtest/gtest.h>

#include <algorithm>

#include "kalvix3.h"
#include "main/digits.h"
#include "platform/serial_port.h"
#include "support/host_window.h"
#include "support/scripted_port.h"
#include "support/time_bounds.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::testing::Clock;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ScriptedDevice;
using kalvix3::testing::ScriptedPorts;
using kalvix3::testing::scaled;

namespace {

TEST(DigitText, KeepsOnlyDigits) {
    struct Case {
        const char *text;
        const char *digits;
        bool tooLong;
    };
    const Case cases[] = {
        {"03-1234-5678", "0312345678", false},
        {"(03) 1234 5678", "0312345678", false},
        {"\x82\x4f\x82\x52-1234", "1234", false}, // full-width digits are double-byte: dropped
        {"", "", false},
        {"abc", "", false},
        {"0123456789012345678", "0123456789012345678", false},
        {"01234567890123456789", "", true},
        {"+81-3-1234-5678-9999-0000", "8131234567899990000", false},
        {"+81-3-1234-5678-9999-00001", "", true},
    };
    for (const Case &c : cases) {
        DigitText text = digitTextOf(c.text);
        EXPECT_STREQ(text.digits, c.digits) << c.text;
        EXPECT_EQ(text.tooLong, c.tooLong) << c.text;
    }
    EXPECT_STREQ(digitTextOf(nullptr).digits, "");
}

class SerialDial : public ::testing::Test {
protected:
    std::shared_ptr<ScriptedDevice> open(int32_t kind) {
        EXPECT_EQ(OpenCommLineEx(0, host.window(), 5, kind), 0);
        auto device = ports.device("COM5");
        // Let the initialisation sequence finish, then look only at the dial.
        device->waitUntil([&] { return device->currentMask() == 0x81 && device->waitPending(); }, scaled(3s));
        device->clearRecord();
        return device;
    }
    void TearDown() override { CloseCommLineEx(0); }
    ScriptedPorts ports;
    HostWindow host;
};

TEST_F(SerialDial, AlexonWritesOneCommand) {
    auto device = open(15);
    KalvixDialEx(0, 1, "03-1234-5678");
    EXPECT_EQ(device->written(), "AT\\D1/0312345678\r\n");
    EXPECT_EQ(device->purges().back(), platform::PURGE_ALL);
}

TEST_F(SerialDial, NumberWithoutDigitsStillSendsTheCommand) {
    auto device = open(60);
    KalvixDial(2, "abc");
    EXPECT_EQ(device->written(), "AT\\D2/\r\n");
}

TEST_F(SerialDial, TooLongOrNullNumbersAndNonDialingKindsSendNothing) {
    auto device = open(15);
    KalvixDialEx(0, 1, "012345678901234567890");
    KalvixDialEx(0, 1, nullptr);
    KalvixDial(1, nullptr);
    EXPECT_EQ(device->written(), "");
    CloseCommLineEx(0);
    for (int32_t kind : {10, 13, 16, 21, 35, 71, 2, 5}) {
        auto other = open(kind);
        KalvixDialEx(0, 1, "0312345678");
        EXPECT_EQ(other->written(), "") << kind;
        CloseCommLineEx(0);
    }
}

TEST_F(SerialDial, AtBangRaisesAndLowersDtrAroundTheCommand) {
    auto device = open(17);
    auto start = Clock::now();
    KalvixDialEx(0, 1, "03-1234-5678");
    auto took = Clock::now() - start;
    EXPECT_EQ(device->written(), "AT!D1;0312345678\r\n");
    auto escapes = device->escapes();
    ASSERT_EQ(escapes.size(), 2u);
    EXPECT_EQ(escapes[0], platform::SETDTR);
    EXPECT_EQ(escapes[1], platform::CLRDTR);
    EXPECT_GE(took, 5500ms);
    EXPECT_LT(took, scaled(7000ms));
}

TEST_F(SerialDial, AtBangLowersDtrWhenTheWriteFails) {
    auto device = open(30);
    device->failStep("write");
    KalvixDialEx(0, 3, "0312345678");
    auto escapes = device->escapes();
    ASSERT_EQ(escapes.size(), 2u);
    EXPECT_EQ(escapes[1], platform::CLRDTR);
}

TEST_F(SerialDial, Mn128SelectsTheModeThenDials) {
    auto device = open(50);
    KalvixDialEx(0, 1, "03-1234-5678");
    auto writes = device->writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, "AT!T2\r\n");
    EXPECT_EQ(writes[1].bytes, "ATD0312345678;1\r\n");
    EXPECT_GE(writes[1].when - writes[0].when, 95ms);
}

} // namespace

namespace {

TEST(DialAfterOpen, WaitsForTheInitialisationCommands) {
    struct Case {
        int32_t kind;
        const char *lastInitialisation;
        const char *dial;
    };
    const Case cases[] = {
        {15, "ATG55=0\r\n", "AT\\D1/0312345678\r\n"},
        {50, "AT#H1\r\n", "AT!T2\r\n"},
    };
    for (const Case &c : cases) {
        ScriptedPorts ports;
        HostWindow host;
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 8, c.kind), 0);
        KalvixDialEx(0, 1, "0312345678"); // at once, while the adapter is being set up
        auto writes = ports.device("COM8")->writes();
        CloseCommLineEx(0);
        std::vector<std::string> sent;
        for (const auto &write : writes)
            sent.push_back(write.bytes);
        auto init = std::find(sent.begin(), sent.end(), c.lastInitialisation);
        auto dial = std::find(sent.begin(), sent.end(), c.dial);
        ASSERT_NE(init, sent.end()) << c.kind;
        ASSERT_NE(dial, sent.end()) << c.kind;
        EXPECT_LT(init, dial) << "kind " << c.kind << ": the dial went out during initialisation";
    }
}

} // namespace
