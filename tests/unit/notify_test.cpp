#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/serial_port.h"
#include "recv/notify.h"
#include "support/host_window.h"

using namespace kalvix3;
using namespace kalvix3::platform;
using kalvix3::testing::HostWindow;

namespace {

TEST(LineErrors, FirstBitInTableOrderDecides) {
    struct Case {
        uint32_t errorWord;
        uint32_t code;
        uint32_t cbData;
    };
    const Case cases[] = {
        {CE_BREAK, 1, 24},           {CE_FRAME, 2, 30},   {CE_RXPARITY, 3, 30},
        {CE_RXOVER, 4, 42},          {CE_OVERRUN, 5, 26}, {CE_TXFULL, 6, 28},
        {CE_IOE, 7, 25},             {CE_MODE, 8, 32},    {CE_PTO, 9, 28},
        {CE_DNS, 10, 38},            {CE_FRAME | CE_RXOVER, 2, 30},
        {CE_PTO | CE_DNS, 9, 28},    {CE_MODE | CE_PTO, 8, 32},
        {CE_BREAK | CE_DNS | CE_IOE, 1, 24},
    };
    for (const Case &c : cases) {
        HostWindow host;
        notifySerialError(host.window(), c.errorWord);
        ASSERT_EQ(host.count(), 1u) << std::hex << c.errorWord;
        auto message = host.messages()[0];
        EXPECT_EQ(message.message, KALVIX3_LINE_ERROR_MESSAGE);
        EXPECT_EQ(message.dwData, c.code);
        EXPECT_EQ(message.cbData, c.cbData);
        EXPECT_EQ(message.text.size(), c.cbData);
        EXPECT_EQ(message.text, lineErrorText(c.code));
    }
}

TEST(LineErrors, WordsWithoutTestedBitsSendNothing) {
    for (uint32_t word : {0u, CE_OOP, 0x2000u, 0x4000u, 0x0020u}) {
        HostWindow host;
        notifySerialError(host.window(), word);
        EXPECT_EQ(host.count(), 0u) << std::hex << word;
    }
}

TEST(LineErrors, DriverErrorsCarryTheirTexts) {
    struct Case {
        uint32_t code;
        uint32_t cbData;
        const char *text;
    };
    const Case cases[] = {
        {311, 33, "ITUSB.DLL\x82\xcc\x83\x8d\x81\x5b\x83\x68\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc"
                  "\x82\xb5\x82\xbd\x81\x42"},
        {312, 47, nullptr},
        {313, 30, nullptr},
    };
    for (const Case &c : cases) {
        HostWindow host;
        notifyDriverError(host.window(), c.code);
        ASSERT_EQ(host.count(), 1u);
        EXPECT_EQ(host.messages()[0].dwData, c.code);
        EXPECT_EQ(host.messages()[0].cbData, c.cbData);
        if (c.text)
            EXPECT_EQ(host.messages()[0].text, c.text);
    }
    HostWindow host;
    notifyDriverError(host.window(), 314);
    notifyDriverError(host.window(), 310);
    EXPECT_EQ(host.count(), 0u);
}

TEST(CallerNumbers, RecordCarriesCode12AndLength) {
    HostWindow host;
    notifyCallerNumber(host.window(), "0312345678");
    notifyCallerNumber(host.window(), "");
    notifyCallerNumber(host.window(), "P");
    ASSERT_EQ(host.count(), 2u);
    EXPECT_EQ(host.messages()[0].message, KALVIX3_CALLER_NUMBER_MESSAGE);
    EXPECT_EQ(host.messages()[0].dwData, 12u);
    EXPECT_EQ(host.messages()[0].cbData, 10u);
    EXPECT_EQ(host.messages()[0].text, "0312345678");
    EXPECT_NE(host.messages()[0].wParam, 0u);
    EXPECT_EQ(host.messages()[1].text, "P");
}

TEST(CallerNumbers, NullWindowIsIgnored) {
    notifyCallerNumber(nullptr, "123");
    notifySerialError(nullptr, CE_BREAK);
}

} // namespace
