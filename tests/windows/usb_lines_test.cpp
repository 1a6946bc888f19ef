// NEC Aterm adapters on USB through the shipped Kalvix3.dll, with the stand-in ITUSB.DLL in the
// Wine prefix's system directory: a polled line (kind 32) and a multiplexed line (kind 36) open
// side by side report each call to their own host window, a real window on a thread of its
// own; and what the host sees when the driver files are missing or the driver library fails.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "support/host_window.h"
#include "support/time_bounds.h"
#include "test_window.h"
#include "usb_host.h"

using namespace kalvix3::wintest;
using namespace std::chrono_literals;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ReceivedMessage;
using kalvix3::testing::scaled;

namespace {

// Line-error texts of the driver failures (code page 932).
const char kLoadFailedText[] = // ITUSB.DLLのロードに失敗しました。
    "ITUSB.DLL\202\314\203\215\201[\203h\202\311\216\270\224s\202\265\202\334\202\265\202\275\201B";
const char kEntryMissingText[] = // ITUSB.DLL内の関数アドレスの取得に失敗しました。
    "ITUSB.DLL\223\340\202\314\212\326\220\224\203A\203h\203\214\203X\202\314\216\346\223\276"
    "\202\311\216\270\224s\202\265\202\334\202\265\202\275\201B";

class UsbLines : public ::testing::Test {
protected:
    void SetUp() override { removeSystemDriver(); }
    void TearDown() override {
        library.close(0);
        library.close(1);
        removeSystemDriver();
    }

    // Slot 0: kind 32 on `polled`; slot 1: kind 36 on `multiplexed`.
    void openBoth(int32_t expected) {
        ASSERT_EQ(library.open(0, polled.window(), 0, 32), expected);
        ASSERT_EQ(library.open(1, multiplexed.window(), 0, 36), expected);
    }
    // Both lines closed, within a bound: each waits for its receive thread.
    void closeBoth() {
        Watchdog dog(scaled(20s), "CloseCommLineEx of the USB lines");
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(library.close(0), 1);
        EXPECT_EQ(library.close(1), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - started, scaled(3s));
    }

    Kalvix3Library library;
    HostWindow polled;
    HostWindow multiplexed;
};

void expectCallerNumber(const ReceivedMessage &got, const std::string &text, const char *line) {
    EXPECT_EQ(got.message, static_cast<uint32_t>(KALVIX3_CALLER_NUMBER_MESSAGE)) << line;
    EXPECT_EQ(got.wParam, reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr))) << line;
    EXPECT_EQ(got.dwData, 12u) << line;
    EXPECT_EQ(got.cbData, text.size()) << line;
    EXPECT_EQ(got.text, text) << line;
}

TEST_F(UsbLines, CallsReachEachLinesHostWindowWithTheRecordIntact) {
    SystemStandIn sim;
    openBoth(KALVIX3_OK);
    // The polled line reports changes from its first read on; the multiplexed line reports the
    // events of its outstanding request.
    ASSERT_TRUE(waitUntil([&] { return sim.controlCalls(kStatusCode) >= 1; }, scaled(5s)));
    ASSERT_TRUE(
        waitUntil([&] { return sim.callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0) >= 1; }, scaled(5s)));

    struct Call {
        const char *placed;
        const char *reported;
    };
    const Call calls[] = {
        {"0312345678", "0312345678"},
        {"P", "P"}, // withheld
        {"C", "C"}, // public telephone
        {"O", "O"}, // out of the display area
        {"117", "117"},
    };
    size_t placed = 0;
    for (const Call &call : calls) {
        ASSERT_EQ(sim.placeCall(call.placed), 1) << call.placed;
        ++placed;
        // One poll a second: a call is seen on the next poll.
        ASSERT_TRUE(polled.waitForCount(placed, scaled(5s))) << call.placed;
        ASSERT_TRUE(multiplexed.waitForCount(placed, scaled(5s))) << call.placed;
        expectCallerNumber(polled.messages().back(), call.reported, "kind 32");
        expectCallerNumber(multiplexed.messages().back(), call.reported, "kind 36");
    }
    closeBoth();
    EXPECT_EQ(polled.count(), placed);
    EXPECT_EQ(multiplexed.count(), placed);
    EXPECT_EQ(sim.callCount(SIMUSB_CLOSE_DEVICE, 0), 1);
    EXPECT_EQ(sim.badCalls(), 0) << "a driver entry got unexpected arguments";
}

TEST_F(UsbLines, MissingDriverFileGives31AndNothingRuns) {
    struct Case {
        const char *what;
        std::function<bool()> prepare;
    };
    const Case cases[] = {
        {"no ITUSB.DLL", [] { return true; }},
        {"a directory named ITUSB.DLL",
         [] { return CreateDirectoryA(systemDriverPath().c_str(), nullptr) != 0; }},
    };
    for (const Case &c : cases) {
        removeSystemDriver();
        ASSERT_TRUE(c.prepare()) << c.what;
        openBoth(KALVIX3_ERR_USB_DRIVER);
        closeBoth();
        EXPECT_EQ(polled.count(), 0u) << c.what;
        EXPECT_EQ(multiplexed.count(), 0u) << c.what;
    }
}

// The open succeeds; the receive thread reports the failure once and ends.
TEST_F(UsbLines, DriverLibraryFailuresReachTheHostOnce) {
    struct Case {
        const char *what;
        std::function<bool()> install;
        uint32_t code;
        uint32_t cbData;
        const char *text;
    };
    const Case cases[] = {
        {"not a DLL", [] { return writeSystemDriver("This is not a dynamic-link library.\r\n"); },
         311, 33, kLoadFailedText},
        {"driver entries missing", [] { return copyToSystemDriver(partialStandIn()); }, 312, 47,
         kEntryMissingText},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(c.install()) << c.what;
        size_t before = polled.count();
        openBoth(KALVIX3_OK);
        ASSERT_TRUE(polled.waitForCount(before + 1, scaled(5s))) << c.what;
        ASSERT_TRUE(multiplexed.waitForCount(before + 1, scaled(5s))) << c.what;
        closeBoth(); // the threads have ended: all they were to send is sent
        for (const HostWindow *host : {&polled, &multiplexed}) {
            auto messages = host->messages();
            ASSERT_EQ(messages.size(), before + 1) << c.what << ": reported once";
            const ReceivedMessage &got = messages.back();
            EXPECT_EQ(got.message, static_cast<uint32_t>(KALVIX3_LINE_ERROR_MESSAGE)) << c.what;
            EXPECT_EQ(got.wParam, reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)));
            EXPECT_EQ(got.dwData, c.code) << c.what;
            EXPECT_EQ(got.cbData, c.cbData) << c.what;
            EXPECT_EQ(got.text, c.text) << c.what;
        }
        removeSystemDriver();
        EXPECT_EQ(GetFileAttributesA(systemDriverPath().c_str()), INVALID_FILE_ATTRIBUTES)
            << c.what << ": the library still holds the driver file";
    }
}

} // namespace
