// Dialing on a NEC Aterm USB line (kind 32) through the shipped Kalvix3.dll against the stand-in
// ITUSB.DLL, on the virtual display with the Japanese ANSI code page (932). KalvixDialEx runs on
// the test's thread, which owns the host window, and pumps its messages; another thread plays
// the user: it finds the progress dialog or the failure message box, reads it, and clicks.
//
// Everything another thread learns is handed back in a plain record and checked on the test's
// thread once the dial has returned. Every wait is bounded; a watchdog ends the program should
// the dial itself never return.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/time_bounds.h"
#include "test_window.h"
#include "usb_host.h"

using namespace kalvix3::wintest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kalvix3::testing::scaled;

namespace {

// Code page 932 texts.
const char kCaption[] = "\203_\203C\203\204\203\213\224\255\220M"; // ダイヤル発信
const char kMessage1[] =                                             // 発信準備が完了しました
    "\224\255\220M\217\200\224\365\202\252\212\256\227\271\202\265\202\334\202\265\202\275";
const char kMessage2[] = // 現在鼓動している受話器を取ることで発信します
    "\214\273\215\335\214\333\223\256\202\265\202\304\202\242\202\351\216\363\230b\212\355\202"
    "\360\216\346\202\351\202\261\202\306\202\305\224\255\220M\202\265\202\334\202\267";
const char kCancelCaption[] = "\203L\203\203\203\223\203Z\203\213"; // キャンセル
const char kBoxCaption[] = "Kalvix3.dll";
const char kFailed[] = "\203_\203C\203\204\203\213\224\255\220M\216\270\224s"; // ダイヤル発信失敗
const char kFailedPutDownHandset[] = // ダイヤル発信失敗 LF 受話器を置いた状態で発信ボタンを押してください
    "\203_\203C\203\204\203\213\224\255\220M\216\270\224s\n\216\363\230b\212\355\202\360\222u"
    "\202\242\202\275\217\363\221\324\202\305\224\255\220M\203{\203^\203\223\202\360\211\237"
    "\202\265\202\304\202\255\202\276\202\263\202\242";

// The request of the dial below: 8, ten digits packed two a byte, port 1 in byte 30.
const char kNumber[] = "03-1234-5678";
std::vector<uint8_t> expectedRequest() {
    std::vector<uint8_t> request(31, 0);
    const uint8_t head[] = {8, 10, 0x03, 0x12, 0x34, 0x56, 0x78};
    std::memcpy(request.data(), head, sizeof head);
    request[30] = 0x01;
    return request;
}

// A control's text through WM_GETTEXT, answered by the dialing thread's pump; bounded.
std::string textOf(HWND window) {
    char text[512] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                             SMTO_BLOCK, 5000, &copied))
        return "<no answer>";
    return text;
}

std::string classOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Control {
    HWND handle;
    std::string windowClass;
    std::string text;
    LONG_PTR style;
};

std::vector<Control> controlsOf(HWND window) {
    std::vector<Control> found;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        found.push_back({child, classOf(child), textOf(child), GetWindowLongPtrA(child, GWL_STYLE)});
    return found;
}

// The top-level window of `thread` with this class and caption, looked up with FindWindowExA
// (other test programs on the same display may show windows of the same caption).
HWND findWindowOf(DWORD thread, const char *windowClass, const char *caption) {
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, windowClass, caption)) != nullptr)
        if (GetWindowThreadProcessId(window, nullptr) == thread)
            return window;
    return nullptr;
}

HWND waitForWindowOf(DWORD thread, const char *windowClass, const char *caption,
                     std::chrono::milliseconds limit) {
    HWND found = nullptr;
    waitUntil([&] { return (found = findWindowOf(thread, windowClass, caption)) != nullptr; },
              limit);
    return found;
}

bool exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Asks wine-run.sh for a screenshot of `frame` (screen coordinates) and waits for it, when the
// run wants one. True when taken or not wanted.
bool screenshot(const RECT &frame) {
    const char *request = std::getenv("KALVIX3_SCREENSHOT_REQUEST");
    if (request == nullptr)
        return true;
    std::string path = request, pending = path + ".tmp", done = path + ".done";
    std::string place = std::to_string(frame.left) + " " + std::to_string(frame.top) + " " +
                        std::to_string(frame.right - frame.left) + " " +
                        std::to_string(frame.bottom - frame.top) + "\n";
    HANDLE file = CreateFileA(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, place.data(), static_cast<DWORD>(place.size()), &written, nullptr);
    CloseHandle(file);
    if (!MoveFileA(pending.c_str(), path.c_str()))
        return false;
    return waitUntil([&] { return exists(done); }, scaled(20s));
}

uint64_t ticksOf(const FILETIME &time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// CPU time used so far (kernel and user, 100 ns ticks) by the process and by one thread.
struct CpuTimes {
    uint64_t process = 0;
    uint64_t thread = 0;
    Clock::time_point at;
};
CpuTimes cpuTimes(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    CpuTimes now;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        now.process = ticksOf(kernel) + ticksOf(user);
    if (GetThreadTimes(thread, &created, &exited, &kernel, &user))
        now.thread = ticksOf(kernel) + ticksOf(user);
    now.at = Clock::now();
    return now;
}

// What the user's side saw of the progress dialog.
struct DialogSeen {
    bool found = false;
    bool visible = false;
    void *dialForm = nullptr; // _DialForm while the dialog was shown
    std::string windowClass;
    SIZE client{};
    std::vector<Control> controls;
    double processCpu = -1; // share of one core over about a second of ringing
    double dialThreadCpu = -1;
    int32_t linePollsInThatSecond = 0;
    bool screenshotTaken = false;
    bool clicked = false;
    int32_t cancelsBeforeClick = -1;
    bool closedAfterClick = false;
};

// What the user's side saw of a failure message box.
struct BoxSeen {
    bool found = false;
    HWND owner = nullptr;
    std::vector<Control> controls;
    bool exclamationIcon = false;
    bool dialogShown = false; // the progress dialog, which a failed dial never shows
    bool dismissed = false;
};

class UsbDial : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(GetACP(), 932u) << "run with the Japanese code page (KALVIX3_WINE_LOCALE)";
        ASSERT_NE(host.hwnd(), nullptr);
        ASSERT_EQ(library.open(0, host.hwnd(), 0, 32), KALVIX3_OK);
        // The control entry is published before the first caller status read.
        ASSERT_TRUE(waitUntil([&] { return sim.controlCalls(kStatusCode) >= 1; }, scaled(5s)));
        dialThread = GetCurrentThreadId();
    }
    void TearDown() override {
        Watchdog dog(scaled(20s), "CloseCommLineEx of the dialling line");
        EXPECT_EQ(library.close(0), 1);
        EXPECT_EQ(*library.dialForm, nullptr);
        EXPECT_EQ(sim.badCalls(), 0) << "a driver entry got unexpected arguments";
    }

    // KalvixDialEx on this thread while `user` runs on another.
    void dialWhile(const std::function<void()> &user) {
        std::thread other(user);
        {
            Watchdog dog(scaled(60s), "KalvixDialEx");
            library.dialEx(0, 1, kNumber);
        }
        other.join();
    }

    // The dial's Ev_USB_Control calls in order, the receive thread's status polls left out.
    std::vector<SimUsbCall> dialCalls() const {
        std::vector<SimUsbCall> calls;
        for (const SimUsbCall &call : sim.calls(SIMUSB_EV_USB_CONTROL))
            if (call.code != kStatusCode)
                calls.push_back(call);
        return calls;
    }

    Kalvix3Library library;
    SystemStandIn sim;
    ThreadWindow host; // the host window belongs to the dialing thread, as in a host program
    DWORD dialThread = 0;
};

std::vector<uint8_t> inputOf(const SimUsbCall &call) {
    return std::vector<uint8_t>(call.input, call.input + call.inputLength);
}

TEST_F(UsbDial, RingingPortShowsTheDialogUntilCancel) {
    sim.setLineStateOnes(-1); // the handset is never lifted: only Cancel ends the dial
    DialogSeen seen;
    dialWhile([&] {
        HWND dialog = waitForWindowOf(dialThread, nullptr, kCaption, scaled(10s));
        if (dialog == nullptr) {
            sim.setLineStateOnes(0); // ends the dial without the dialog
            return;
        }
        seen.found = true;
        seen.windowClass = classOf(dialog);
        // Shown once it is _DialForm: the window exists a moment before.
        seen.visible = waitUntil([&] { return IsWindowVisible(dialog) != 0; }, scaled(5s));
        seen.dialForm = *library.dialForm;
        RECT client{}, frame{};
        GetClientRect(dialog, &client);
        GetWindowRect(dialog, &frame);
        seen.client = {client.right - client.left, client.bottom - client.top};
        seen.controls = controlsOf(dialog);

        // About a second of ringing: the dial loop's share of the CPU, and how often it polls.
        HANDLE dialing = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, dialThread);
        CpuTimes before = cpuTimes(dialing);
        int32_t pollsBefore = sim.controlCalls(kLineStateCode);
        Sleep(1000);
        CpuTimes after = cpuTimes(dialing);
        seen.linePollsInThatSecond = sim.controlCalls(kLineStateCode) - pollsBefore;
        CloseHandle(dialing);
        double wallTicks = std::chrono::duration<double>(after.at - before.at).count() * 1e7;
        seen.processCpu = static_cast<double>(after.process - before.process) / wallTicks;
        seen.dialThreadCpu = static_cast<double>(after.thread - before.thread) / wallTicks;

        seen.screenshotTaken = screenshot(frame);

        seen.cancelsBeforeClick = sim.controlCalls(kDialCancelCode);
        for (const Control &control : seen.controls)
            if (control.windowClass == "Button" && control.text == kCancelCaption) {
                DWORD_PTR ignored = 0;
                seen.clicked = SendMessageTimeoutA(control.handle, BM_CLICK, 0, 0, SMTO_BLOCK,
                                                   5000, &ignored) != 0;
            }
        seen.closedAfterClick = waitUntil([&] { return !IsWindow(dialog); }, scaled(5s));
        if (!seen.closedAfterClick)
            sim.setLineStateOnes(0);
    });

    ASSERT_TRUE(seen.found) << "no dialog with the caption in code page 932";
    EXPECT_TRUE(seen.visible);
    EXPECT_NE(seen.dialForm, nullptr) << "_DialForm while the dialog is shown";
    EXPECT_EQ(seen.windowClass, "#32770");
    EXPECT_GE(seen.client.cx, 311) << "the designed width, wider only where a label needs it";
    EXPECT_EQ(seen.client.cy, 97);
    struct Expected {
        const char *windowClass;
        const char *text;
    };
    const Expected controls[] = {
        {"Static", ""}, // the icon
        {"Static", kMessage1},
        {"Static", kMessage2},
        {"Button", kCancelCaption},
    };
    ASSERT_EQ(seen.controls.size(), std::size(controls));
    for (size_t i = 0; i < std::size(controls); ++i) {
        EXPECT_EQ(seen.controls[i].windowClass, controls[i].windowClass) << "control " << i;
        EXPECT_EQ(seen.controls[i].text, controls[i].text) << "control " << i;
    }
    EXPECT_EQ(seen.controls[0].style & SS_TYPEMASK, SS_ICON);
    EXPECT_TRUE(seen.screenshotTaken) << "the screenshot was not taken";
    EXPECT_EQ(seen.cancelsBeforeClick, 0);
    EXPECT_TRUE(seen.clicked) << "Cancel could not be clicked";
    EXPECT_TRUE(seen.closedAfterClick) << "the dialog stayed after Cancel";

    // The dial loop waits for input while the adapter has nothing new: it keeps polling the
    // port, but leaves the core to others.
    std::printf("dial loop over about 1 s of ringing: process %.1f %%, dialling thread %.1f %% "
                "of one core; %d line-state polls\n",
                100 * seen.processCpu, 100 * seen.dialThreadCpu, seen.linePollsInThatSecond);
    EXPECT_GE(seen.processCpu, 0.0) << "GetProcessTimes failed";
    EXPECT_LT(seen.processCpu, 0.10) << "the dial loop spins";
    EXPECT_LE(seen.linePollsInThatSecond, 1000) << "the dial loop spins";
    EXPECT_GE(seen.linePollsInThatSecond, 10) << "the port is still polled while ringing";

    // Start, one dial state, line-state polls while ringing, then the cancel with the very
    // request of the start; nothing after it.
    auto calls = dialCalls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0].code, kDialStartCode);
    EXPECT_EQ(inputOf(calls[0]), expectedRequest());
    EXPECT_EQ(calls[1].code, kDialStateCode);
    for (size_t i = 2; i + 1 < calls.size(); ++i)
        ASSERT_EQ(calls[i].code, kLineStateCode) << "call " << i;
    EXPECT_EQ(calls.back().code, kDialCancelCode);
    EXPECT_EQ(calls.back().inputLength, 31u);
    EXPECT_EQ(inputOf(calls.back()), inputOf(calls[0]));
    EXPECT_EQ(*library.dialForm, nullptr);
    EXPECT_EQ(findWindowOf(dialThread, nullptr, kCaption), nullptr);
}

// A host whose window procedure closes the dialling line while the phone rings (here a timer
// of the host's thread, which the dial's pump runs): the dial is cancelled, and the line is
// closed by the time KalvixDialEx returns.
Kalvix3Library *closingLibrary = nullptr;
bool closedWhileShown = false;
void CALLBACK closeTheLine(HWND, UINT, UINT_PTR timer, DWORD) {
    if (*closingLibrary->dialForm == nullptr)
        return; // not ringing yet
    KillTimer(nullptr, timer);
    closedWhileShown = true;
    closingLibrary->close(0);
}

TEST_F(UsbDial, ClosingTheLineFromAWindowProcedureCancelsTheDial) {
    sim.setLineStateOnes(-1);
    closingLibrary = &library;
    UINT_PTR timer = SetTimer(nullptr, 0, 100, &closeTheLine);
    ASSERT_NE(timer, 0u);
    dialWhile([&] {
        // Should the dial go on regardless, the port stops ringing and the checks below fail.
        if (!waitUntil([&] { return sim.controlCalls(kDialCancelCode) > 0; }, scaled(10s)))
            sim.setLineStateOnes(0);
    });
    KillTimer(nullptr, timer);
    EXPECT_TRUE(closedWhileShown);
    auto calls = dialCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.back().code, kDialCancelCode);
    EXPECT_EQ(inputOf(calls.back()), inputOf(calls[0]));
    EXPECT_EQ(*library.dialForm, nullptr);
    EXPECT_EQ(findWindowOf(dialThread, nullptr, kCaption), nullptr);
    // The slot is free again: it opens (the test's tear-down closes it).
    EXPECT_EQ(library.open(0, host.hwnd(), 0, 32), KALVIX3_OK);
}

// A dial the adapter refuses before it is ready shows a message box owned by the host window,
// and no progress dialog.
TEST_F(UsbDial, RefusedDialShowsTheMessageBoxOwnedByTheHostWindow) {
    struct Case {
        const char *what;
        std::function<void(SystemStandIn &)> refuse;
        const char *text;
        std::vector<uint32_t> codes;
    };
    const Case cases[] = {
        {"start refused", [](SystemStandIn &s) { s.failControl(kDialStartCode, 1, 5, 7); },
         kFailed, {kDialStartCode}},
        {"dial state 0",
         [](SystemStandIn &s) {
             const uint8_t refused = 0;
             s.setDialStates(&refused, 1);
         },
         kFailedPutDownHandset, {kDialStartCode, kDialStateCode}},
    };
    for (const Case &c : cases) {
        size_t callsBefore = dialCalls().size();
        c.refuse(sim);
        BoxSeen seen;
        dialWhile([&] {
            HWND box = waitForWindowOf(dialThread, "#32770", kBoxCaption, scaled(10s));
            if (box == nullptr)
                return; // the watchdog ends a dial that never shows it
            seen.found = true;
            seen.owner = GetWindow(box, GW_OWNER);
            seen.controls = controlsOf(box);
            seen.dialogShown = findWindowOf(dialThread, nullptr, kCaption) != nullptr;
            HICON exclamation = LoadIconA(nullptr, IDI_EXCLAMATION);
            for (const Control &control : seen.controls) {
                if (control.windowClass != "Static" || (control.style & SS_TYPEMASK) != SS_ICON)
                    continue;
                DWORD_PTR icon = 0;
                SendMessageTimeoutA(control.handle, STM_GETICON, 0, 0, SMTO_BLOCK, 5000, &icon);
                seen.exclamationIcon = reinterpret_cast<HICON>(icon) == exclamation;
            }
            for (const Control &control : seen.controls)
                if (control.windowClass == "Button") {
                    DWORD_PTR ignored = 0;
                    SendMessageTimeoutA(control.handle, BM_CLICK, 0, 0, SMTO_BLOCK, 5000,
                                        &ignored);
                }
            seen.dismissed = waitUntil([&] { return !IsWindow(box); }, scaled(5s));
        });
        ASSERT_TRUE(seen.found) << c.what << ": no message box \"Kalvix3.dll\"";
        EXPECT_EQ(seen.owner, host.hwnd()) << c.what;
        std::vector<std::string> texts, buttons;
        for (const Control &control : seen.controls) {
            if (control.windowClass == "Static" && !control.text.empty())
                texts.push_back(control.text);
            if (control.windowClass == "Button")
                buttons.push_back(control.text);
        }
        EXPECT_EQ(texts, std::vector<std::string>{c.text}) << c.what;
        EXPECT_EQ(buttons, std::vector<std::string>{"OK"}) << c.what << ": OK only";
        EXPECT_TRUE(seen.exclamationIcon) << c.what;
        EXPECT_FALSE(seen.dialogShown) << c.what;
        EXPECT_TRUE(seen.dismissed) << c.what;

        auto calls = dialCalls();
        std::vector<uint32_t> codes;
        for (size_t i = callsBefore; i < calls.size(); ++i)
            codes.push_back(calls[i].code);
        EXPECT_EQ(codes, c.codes) << c.what;
        EXPECT_EQ(*library.dialForm, nullptr) << c.what;
        EXPECT_EQ(sim.badCalls(), 0) << c.what;
        sim.reset();
    }
}

} // namespace
