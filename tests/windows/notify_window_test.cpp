// Notifications on real windows: sent from another thread with SendMessageA, delivered on the
// window's own thread, the record intact; and closing while a notification is in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <thread>

#include "kalvix3.h"
#include "main/lines.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "platform/thread.h"
#include "recv/notify.h"
#include "support/scripted_port.h"
#include "support/time_bounds.h"
#include "test_window.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::wintest::ThreadWindow;
using kalvix3::wintest::Watchdog;
using kalvix3::wintest::waitForPendingSend;
using kalvix3::testing::scaled;

namespace {

static_assert(offsetof(CopyDataRecord, dwData) == offsetof(COPYDATASTRUCT, dwData));
static_assert(offsetof(CopyDataRecord, cbData) == offsetof(COPYDATASTRUCT, cbData));
static_assert(offsetof(CopyDataRecord, lpData) == offsetof(COPYDATASTRUCT, lpData));
static_assert(sizeof(CopyDataRecord) == sizeof(COPYDATASTRUCT));

struct NotifyCase {
    const char *what;
    std::function<void(HWND)> send;
    UINT message;
    uintptr_t dwData;
    uint32_t cbData;
    std::string text;
};

TEST(WindowNotifications, ArriveOnTheWindowThreadWithTheRecordIntact) {
    const NotifyCase cases[] = {
        {"caller number", [](HWND w) { notifyCallerNumber(w, "0312345678"); },
         KALVIX3_CALLER_NUMBER_MESSAGE, 12, 10, "0312345678"},
        {"withheld", [](HWND w) { notifyCallerNumber(w, "P"); }, KALVIX3_CALLER_NUMBER_MESSAGE,
         12, 1, "P"},
        {"framing error", [](HWND w) { notifySerialError(w, platform::CE_FRAME | platform::CE_RXOVER); },
         KALVIX3_LINE_ERROR_MESSAGE, 2, 30,
         "\x83t\x83\x8c\x81[\x83\x80\x83G\x83\x89\x81[\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc"
         "\x82\xb5\x82\xbd\x81\x42"}, // フレームエラーが発生しました。
        {"driver load", [](HWND w) { notifyDriverError(w, 311); }, KALVIX3_LINE_ERROR_MESSAGE,
         311, 33,
         "ITUSB.DLL\x82\xcc\x83\x8d\x81[\x83h\x82\xc9\x8e\xb8\x94s\x82\xb5\x82\xdc\x82\xb5\x82\xbd"
         "\x81\x42"}, // ITUSB.DLLのロードに失敗しました。
    };
    for (const NotifyCase &c : cases) {
        ThreadWindow window;
        ASSERT_NE(window.hwnd(), nullptr);
        std::atomic<bool> sendReturned{false};
        bool returnedBeforeHandled = true;
        window.onMessage = [&](const wintest::Delivered &) {
            returnedBeforeHandled = sendReturned.load();
        };
        std::thread sender([&] {
            c.send(window.hwnd());
            sendReturned = true;
        });
        bool arrived = window.pumpUntil([&] { return window.count() == 1; }, scaled(5s));
        sender.join();
        ASSERT_TRUE(arrived) << c.what;
        ASSERT_EQ(window.count(), 1u) << c.what;
        const wintest::Delivered &got = window.messages()[0];
        EXPECT_EQ(got.message, c.message) << c.what;
        EXPECT_EQ(got.dwData, c.dwData) << c.what;
        EXPECT_EQ(got.cbData, c.cbData) << c.what;
        EXPECT_EQ(got.text, c.text) << c.what;
        EXPECT_EQ(got.wParam, reinterpret_cast<WPARAM>(GetModuleHandleA(nullptr))) << c.what;
        EXPECT_EQ(got.handlerThread, GetCurrentThreadId()) << c.what;
        EXPECT_FALSE(returnedBeforeHandled) << c.what << ": the send did not wait for the window";
    }
}

TEST(WindowNotifications, ADestroyedWindowIsIgnored) {
    HWND gone = nullptr;
    {
        ThreadWindow window;
        gone = window.hwnd();
    }
    ASSERT_FALSE(IsWindow(gone));
    notifyCallerNumber(gone, "0312345678");
    notifySerialError(gone, platform::CE_BREAK);
}

// A body that sends one caller number to a window and then waits for its stop.
class SendingThread : public platform::Thread {
public:
    explicit SendingThread(HWND target) : target(target) {}
    ~SendingThread() override { stopAndWait(); }
    platform::Event sending;

protected:
    void ThreadMain() override {
        sending.set();
        notifyCallerNumber(target, "0312345678");
        while (sleepUnlessStopped(1000)) {
        }
    }

private:
    HWND target;
};

// The closing thread owns the window that the body is sending to, and does not pump on its
// own: only the wait for the body's end can deliver the message.
void closeWhileSending() {
    ThreadWindow window;
    ASSERT_NE(window.hwnd(), nullptr);
    SendingThread thread(window.hwnd());
    thread.resume();
    ASSERT_TRUE(thread.sending.wait(static_cast<uint32_t>(scaled(5s).count())));
    ASSERT_TRUE(waitForPendingSend(scaled(5s)));
    EXPECT_EQ(window.count(), 0u);
    auto start = std::chrono::steady_clock::now();
    {
        Watchdog dog(scaled(20s), "Thread::stopAndWait during a send");
        thread.stopAndWait();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(3s));
    EXPECT_TRUE(thread.finished());
    ASSERT_EQ(window.count(), 1u);
    EXPECT_EQ(window.messages()[0].text, "0312345678");
}

TEST(CloseWhileSending, TheMainThreadsWaitDeliversTheMessage) { closeWhileSending(); }

TEST(CloseWhileSending, AnyThreadsWaitDeliversTheMessage) {
    std::thread other([] { closeWhileSending(); });
    other.join();
}

// The same through a line: the receive thread reports a call to a window of the thread that
// closes the line, and is caught in that send when the close begins.
TEST(CloseWhileSending, ClosingALineDoesNotDeadlockOnItsNotification) {
    kalvix3::testing::ScriptedPorts ports;
    ThreadWindow window;
    ASSERT_EQ(OpenCommLineEx(0, window.hwnd(), 3, 2), 0);
    auto device = ports.device("COM3");
    ASSERT_TRUE(device->waitUntil([&] { return device->waitPending(); }, scaled(5s)));
    device->inject("\x02" "0315 1042" "0312345678" + std::string(10, ' ') + "\x03\x02");
    ASSERT_TRUE(waitForPendingSend(scaled(5s)));
    EXPECT_EQ(window.count(), 0u);
    auto start = std::chrono::steady_clock::now();
    {
        Watchdog dog(scaled(20s), "CloseCommLineEx during a notification");
        EXPECT_EQ(CloseCommLineEx(0), 1);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(3s));
    EXPECT_FALSE(device->isOpen());
    ASSERT_EQ(window.count(), 1u);
    EXPECT_EQ(window.messages()[0].text, "0312345678");
}

} // namespace
