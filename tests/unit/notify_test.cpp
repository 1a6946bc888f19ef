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

// The texts as the host receives them: code page 932 bytes, with their lengths.
struct ErrorText {
    uint32_t code;
    uint32_t cbData;
    const char *text;
};

const ErrorText kLineErrors[] = {
    {1, 24, // 中断信号を受信しました。
     "\x92\x86\x92\x66\x90\x4d\x8d\x86\x82\xf0\x8e\xf3\x90\x4d\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"},
    {2, 30, // フレームエラーが発生しました。
     "\x83\x74\x83\x8c\x81\x5b\x83\x80\x83\x47\x83\x89\x81\x5b\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc"
     "\x82\xb5\x82\xbd\x81\x42"},
    {3, 30, // パリティエラーが発生しました。
     "\x83\x70\x83\x8a\x83\x65\x83\x42\x83\x47\x83\x89\x81\x5b\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc"
     "\x82\xb5\x82\xbd\x81\x42"},
    {4, 42, // 受信バッファオーバーフローが発生しました。
     "\x8e\xf3\x90\x4d\x83\x6f\x83\x62\x83\x74\x83\x40\x83\x49\x81\x5b\x83\x6f\x81\x5b\x83\x74\x83\x8d"
     "\x81\x5b\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"},
    {5, 26, // データ損失がおこりました。
     "\x83\x66\x81\x5b\x83\x5e\x91\xb9\x8e\xb8\x82\xaa\x82\xa8\x82\xb1\x82\xe8\x82\xdc\x82\xb5\x82\xbd"
     "\x81\x42"},
    {6, 28, // 送信バッファがいっぱいです。
     "\x91\x97\x90\x4d\x83\x6f\x83\x62\x83\x74\x83\x40\x82\xaa\x82\xa2\x82\xc1\x82\xcf\x82\xa2\x82\xc5"
     "\x82\xb7\x81\x42"},
    {7, 25, // I/Oエラーが発生しました。
     "I/O\x83\x47\x83\x89\x81\x5b\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"},
    {8, 32, // モードがサポートされていません。
     "\x83\x82\x81\x5b\x83\x68\x82\xaa\x83\x54\x83\x7c\x81\x5b\x83\x67\x82\xb3\x82\xea\x82\xc4\x82\xa2"
     "\x82\xdc\x82\xb9\x82\xf1\x81\x42"},
    {9, 28, // タイムアウトが発生しました。
     "\x83\x5e\x83\x43\x83\x80\x83\x41\x83\x45\x83\x67\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5"
     "\x82\xbd\x81\x42"},
    {10, 38, // パラレルデバイスが選択されていません。
     "\x83\x70\x83\x89\x83\x8c\x83\x8b\x83\x66\x83\x6f\x83\x43\x83\x58\x82\xaa\x91\x49\x91\xf0\x82\xb3"
     "\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42"},
};

const ErrorText kDriverErrors[] = {
    {311, 33, // ITUSB.DLLのロードに失敗しました。
     "ITUSB.DLL\x82\xcc\x83\x8d\x81\x5b\x83\x68\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd"
     "\x81\x42"},
    {312, 47, // ITUSB.DLL内の関数アドレスの取得に失敗しました。
     "ITUSB.DLL\x93\xe0\x82\xcc\x8a\xd6\x90\x94\x83\x41\x83\x68\x83\x8c\x83\x58\x82\xcc\x8e\xe6\x93\xbe"
     "\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"},
    {313, 30, // 何らかのエラーが発生しました。
     "\x89\xbd\x82\xe7\x82\xa9\x82\xcc\x83\x47\x83\x89\x81\x5b\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc"
     "\x82\xb5\x82\xbd\x81\x42"},
};

void expectErrorMessage(const HostWindow &host, const ErrorText &expected) {
    ASSERT_EQ(host.count(), 1u) << expected.code;
    auto message = host.messages()[0];
    EXPECT_EQ(message.message, KALVIX3_LINE_ERROR_MESSAGE);
    EXPECT_EQ(message.dwData, expected.code);
    EXPECT_EQ(message.cbData, expected.cbData) << expected.code;
    EXPECT_EQ(message.text, expected.text) << expected.code;
}

TEST(LineErrors, FirstBitInTableOrderDecides) {
    struct Case {
        uint32_t errorWord;
        uint32_t code;
    };
    const Case cases[] = {
        {CE_BREAK, 1},           {CE_FRAME, 2},  {CE_RXPARITY, 3},
        {CE_RXOVER, 4},          {CE_OVERRUN, 5}, {CE_TXFULL, 6},
        {CE_IOE, 7},             {CE_MODE, 8},    {CE_PTO, 9},
        {CE_DNS, 10},            {CE_FRAME | CE_RXOVER, 2},
        {CE_PTO | CE_DNS, 9},    {CE_MODE | CE_PTO, 8},
        {CE_BREAK | CE_DNS | CE_IOE, 1},
    };
    for (const Case &c : cases) {
        HostWindow host;
        notifySerialError(host.window(), c.errorWord);
        SCOPED_TRACE(::testing::Message() << std::hex << c.errorWord);
        expectErrorMessage(host, kLineErrors[c.code - 1]);
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
    for (const ErrorText &expected : kDriverErrors) {
        HostWindow host;
        notifyDriverError(host.window(), expected.code);
        expectErrorMessage(host, expected);
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

} // namespace
