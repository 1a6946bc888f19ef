// The dial progress dialog on a real (virtual) screen: built from its resource, laid out as
// designed, Cancel recorded until the dial loop closes it, closing from the frame, and the
// dial failure message box. Runs with the Japanese ANSI code page (932).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "dial/dial_form.h"
#include "dial/win32/dial_form_ids.h"
#include "kalvix3.h"
#include "support/host_window.h"
#include "support/time_bounds.h"
#include "test_window.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::wintest::ThreadWindow;
using kalvix3::wintest::Watchdog;
using kalvix3::testing::scaled;

namespace {

// Code page 932 bytes, and the UTF-16 text the resource must hold.
const char kCaption[] = "\203_\203C\203\204\203\213\224\255\220M"; // ダイヤル発信
const wchar_t kCaptionW[] = L"\x30c0\x30a4\x30e4\x30eb\x767a\x4fe1";
const char kFailure[] = "\203_\203C\203\204\203\213\224\255\220M\216\270\224s"; // ダイヤル発信失敗
const char kFailureHandset[] =                                                    // …\n受話器を置いた状態で発信ボタンを押してください
    "\203_\203C\203\204\203\213\224\255\220M\216\270\224s\n\216\363\230b\212\355\202\360\222u"
    "\202\242\202\275\217\363\221\324\202\305\224\255\220M\203{\203^\203\223\202\360\211\237"
    "\202\265\202\304\202\255\202\276\202\263\202\242";

std::wstring textW(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}
std::string textA(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, 256);
    return text;
}
std::string className(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, 64);
    return name;
}
RECT clientPlace(HWND parent, HWND child) {
    RECT place{};
    GetWindowRect(child, &place);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT *>(&place), 2);
    return place;
}
bool exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Lets the dialog paint, the way the dial loop keeps the thread's messages flowing.
void pumpFor(DialProgress &progress, std::chrono::milliseconds time) {
    auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        progress.pumpMessages();
        Sleep(10);
    }
}

class DialForm : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(GetACP(), 932u) << "run with the Japanese code page (KALVIX3_WINE_LOCALE)";
        ASSERT_EQ(_DialForm, nullptr);
    }
    void TearDown() override { EXPECT_EQ(_DialForm, nullptr); }
};

struct ControlCase {
    const char *role;
    int id;
    const char *windowClass;
    const char *text;
    const wchar_t *textW;
    RECT place; // left, top, right, bottom as designed
    bool tabStop;
    bool label; // grows to hold its text in the font actually selected
};

// A control's text as the control's own font draws it on one line.
SIZE drawnTextSize(HWND control) {
    wchar_t text[256] = {};
    int length = GetWindowTextW(control, text, 256);
    HDC dc = GetDC(control);
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT bounds{};
    DrawTextW(dc, text, length, &bounds, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

TEST_F(DialForm, ShowsTheDesignedDialog) {
    DialProgress progress(nullptr);
    ASSERT_NE(_DialForm, nullptr);
    HWND dialog = FindWindowA(nullptr, kCaption);
    ASSERT_NE(dialog, nullptr) << "no window with the caption in code page 932";
    EXPECT_EQ(className(dialog), "#32770");
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(textW(dialog), kCaptionW);
    EXPECT_FALSE(progress.cancelRequested());

    RECT client{}, frame{};
    GetClientRect(dialog, &client);
    GetWindowRect(dialog, &frame);
    EXPECT_GE(client.right - client.left, 311) << "wider only where a label needs it";
    EXPECT_EQ(client.bottom - client.top, 97);
    EXPECT_EQ(frame.left, 303);
    EXPECT_EQ(frame.top, 444);

    LONG_PTR style = GetWindowLongPtrA(dialog, GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU) << "close box";
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));

    const ControlCase controls[] = {
        {"imgIcon", KALVIX3_DIAL_IMG_ICON, "Static", "", L"", {12, 12, 45, 45}, false, false},
        {"lblMsg1", KALVIX3_DIAL_LBL_MSG1, "Static",
         "\224\255\220M\217\200\224\365\202\252\212\256\227\271\202\265\202\334\202\265\202\275",
         L"\x767a\x4fe1\x6e96\x5099\x304c\x5b8c\x4e86\x3057\x307e\x3057\x305f", {56, 12, 180, 24},
         false, true},
        {"lblMsg2", KALVIX3_DIAL_LBL_MSG2, "Static",
         "\214\273\215\335\214\333\223\256\202\265\202\304\202\242\202\351\216\363\230b\212\355"
         "\202\360\216\346\202\351\202\261\202\306\202\305\224\255\220M\202\265\202\334\202\267",
         L"\x73fe\x5728\x9f13\x52d5\x3057\x3066\x3044\x308b\x53d7\x8a71\x5668\x3092\x53d6\x308b"
         L"\x3053\x3068\x3067\x767a\x4fe1\x3057\x307e\x3059",
         {56, 32, 299, 44}, false, true},
        {"btnCancel", KALVIX3_DIAL_BTN_CANCEL, "Button", "\203L\203\203\203\223\203Z\203\213",
         L"\x30ad\x30e3\x30f3\x30bb\x30eb", {224, 60, 299, 85}, true, false},
    };
    // Every control with text uses the form's font.
    HFONT font = reinterpret_cast<HFONT>(
        SendDlgItemMessageA(dialog, KALVIX3_DIAL_BTN_CANCEL, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    for (const ControlCase &c : controls) {
        HWND control = GetDlgItem(dialog, c.id);
        ASSERT_NE(control, nullptr) << c.role;
        EXPECT_EQ(className(control), c.windowClass) << c.role;
        EXPECT_EQ(textA(control), c.text) << c.role;
        EXPECT_EQ(textW(control), c.textW) << c.role;
        RECT place = clientPlace(dialog, control);
        EXPECT_EQ(place.left, c.place.left) << c.role;
        EXPECT_EQ(place.top, c.place.top) << c.role;
        if (c.label) {
            // Never smaller than designed, whole text, inside the form.
            SIZE text = drawnTextSize(control);
            EXPECT_GE(place.right, c.place.right) << c.role;
            EXPECT_GE(place.bottom, c.place.bottom) << c.role;
            EXPECT_GE(place.right - place.left, text.cx) << c.role << ": text cut short";
            EXPECT_GE(place.bottom - place.top, text.cy) << c.role << ": text cut short";
            EXPECT_LE(place.right, client.right) << c.role << ": outside the form";
        } else {
            EXPECT_EQ(place.right, c.place.right) << c.role;
            EXPECT_EQ(place.bottom, c.place.bottom) << c.role;
        }
        EXPECT_EQ((GetWindowLongPtrA(control, GWL_STYLE) & WS_TABSTOP) != 0, c.tabStop) << c.role;
        if (c.text[0] != '\0')
            EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)), font)
                << c.role;
    }
    HWND cancel = GetDlgItem(dialog, KALVIX3_DIAL_BTN_CANCEL);
    EXPECT_EQ(GetNextDlgTabItem(dialog, nullptr, FALSE), cancel);
    EXPECT_EQ(GetNextDlgTabItem(dialog, cancel, FALSE), cancel) << "the only tab stop";
    EXPECT_NE(SendDlgItemMessageA(dialog, KALVIX3_DIAL_IMG_ICON, STM_GETICON, 0, 0), 0);
    EXPECT_EQ(GetWindowLongPtrA(GetDlgItem(dialog, KALVIX3_DIAL_IMG_ICON), GWL_STYLE) & SS_TYPEMASK,
              SS_ICON);

    LOGFONTW logical{};
    ASSERT_NE(GetObjectW(font, sizeof logical, &logical), 0);
    EXPECT_EQ(logical.lfHeight, -12);
    EXPECT_EQ(logical.lfWeight, FW_NORMAL);
    EXPECT_EQ(logical.lfCharSet, SHIFTJIS_CHARSET);
    EXPECT_STREQ(logical.lfFaceName, L"\xff2d\xff33 \xff30\x30b4\x30b7\x30c3\x30af");

    // Painted in the button face colour.
    pumpFor(progress, scaled(500ms));
    HDC screen = GetDC(dialog);
    EXPECT_EQ(GetPixel(screen, 5, 90), GetSysColor(COLOR_BTNFACE));
    ReleaseDC(dialog, screen);

    if (const char *request = std::getenv("KALVIX3_SCREENSHOT_REQUEST")) {
        std::string path = request, pending = path + ".tmp", done = path + ".done";
        std::string place = std::to_string(frame.left) + " " + std::to_string(frame.top) + " " +
                            std::to_string(frame.right - frame.left) + " " +
                            std::to_string(frame.bottom - frame.top) + "\n";
        HANDLE file = CreateFileA(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, place.data(), static_cast<DWORD>(place.size()), &written, nullptr);
        CloseHandle(file);
        ASSERT_TRUE(MoveFileA(pending.c_str(), path.c_str()));
        auto deadline = std::chrono::steady_clock::now() + scaled(20s);
        while (!exists(done) && std::chrono::steady_clock::now() < deadline)
            pumpFor(progress, 50ms);
        EXPECT_TRUE(exists(done)) << "the screenshot was not taken";
    }

    progress.close();
    EXPECT_EQ(_DialForm, nullptr);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(FindWindowA(nullptr, kCaption), nullptr);
}

struct CancelCase {
    const char *how;
    std::function<void(HWND dialog)> click;
};

TEST_F(DialForm, CancelIsRecordedAndTheDialogStaysUntilClosed) {
    const CancelCase cases[] = {
        {"BM_CLICK",
         [](HWND d) { SendMessageA(GetDlgItem(d, KALVIX3_DIAL_BTN_CANCEL), BM_CLICK, 0, 0); }},
        {"WM_COMMAND",
         [](HWND d) {
             SendMessageA(d, WM_COMMAND, MAKEWPARAM(KALVIX3_DIAL_BTN_CANCEL, BN_CLICKED),
                          reinterpret_cast<LPARAM>(GetDlgItem(d, KALVIX3_DIAL_BTN_CANCEL)));
         }},
        {"Escape key",
         [](HWND d) {
             HWND cancel = GetDlgItem(d, KALVIX3_DIAL_BTN_CANCEL);
             PostMessageA(cancel, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
             PostMessageA(cancel, WM_KEYUP, VK_ESCAPE, 0xC0010001);
         }},
    };
    for (const CancelCase &c : cases) {
        DialProgress progress(nullptr);
        HWND dialog = FindWindowA(nullptr, kCaption);
        ASSERT_NE(dialog, nullptr) << c.how;
        progress.pumpMessages();
        EXPECT_FALSE(progress.cancelRequested()) << c.how;
        c.click(dialog);
        progress.pumpMessages();
        EXPECT_TRUE(progress.cancelRequested()) << c.how;
        EXPECT_NE(_DialForm, nullptr) << c.how << ": the dial loop closes it, not the click";
        EXPECT_TRUE(IsWindow(dialog)) << c.how;
        progress.close();
        EXPECT_EQ(_DialForm, nullptr) << c.how;
        EXPECT_FALSE(IsWindow(dialog)) << c.how;
        progress.close(); // closing twice is harmless
    }
}

TEST_F(DialForm, ClosingFromTheFrameEndsTheDialogAndCancels) {
    for (UINT how : {static_cast<UINT>(WM_SYSCOMMAND), static_cast<UINT>(WM_CLOSE)}) {
        DialProgress progress(nullptr);
        HWND dialog = FindWindowA(nullptr, kCaption);
        ASSERT_NE(dialog, nullptr);
        if (how == WM_SYSCOMMAND)
            PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        else
            PostMessageA(dialog, WM_CLOSE, 0, 0);
        progress.pumpMessages();
        EXPECT_FALSE(IsWindow(dialog)) << how;
        EXPECT_EQ(_DialForm, nullptr) << how;
        EXPECT_TRUE(progress.cancelRequested()) << how;
        progress.pumpMessages(); // the dial loop may go on pumping: nothing refers to the form
        progress.close();
    }
}

TEST_F(DialForm, OwnedByTheHostWindowOfItsOwnThreadOnly) {
    ThreadWindow sameThread;
    kalvix3::testing::HostWindow otherThread;
    struct Case {
        const char *what;
        HWND owner;
        HWND expected;
    };
    for (const Case &c : {Case{"no owner", nullptr, nullptr},
                          Case{"this thread's window", sameThread.hwnd(), sameThread.hwnd()},
                          Case{"another thread's window", otherThread.window(), nullptr}}) {
        DialProgress progress(c.owner);
        HWND dialog = FindWindowA(nullptr, kCaption);
        ASSERT_NE(dialog, nullptr) << c.what;
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), c.expected) << c.what;
    }
}

TEST_F(DialForm, QuittingTheHostCancelsTheDialAndKeepsTheQuit) {
    DialProgress progress(nullptr);
    PostQuitMessage(7);
    progress.pumpMessages();
    EXPECT_TRUE(progress.cancelRequested());
    progress.close();
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 7u);
}

// The failure message box: found and checked from another thread while the dialing thread
// waits in it, then dismissed with OK.
TEST_F(DialForm, FailureMessageBoxes) {
    for (const char *text : {kFailure, kFailureHandset}) {
        ThreadWindow owner;
        std::atomic<bool> found{false};
        std::string shownText, shownCaption;
        HWND shownOwner = nullptr;
        LONG_PTR buttons = 0;
        std::thread dismisser([&] {
            auto deadline = std::chrono::steady_clock::now() + scaled(10s);
            while (std::chrono::steady_clock::now() < deadline) {
                HWND box = FindWindowA("#32770", "Kalvix3.dll");
                if (box != nullptr) {
                    shownCaption = textA(box);
                    shownOwner = GetWindow(box, GW_OWNER);
                    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
                         child = GetWindow(child, GW_HWNDNEXT)) {
                        if (className(child) == "Static" && !textA(child).empty())
                            shownText = textA(child);
                        if (className(child) == "Button")
                            buttons++;
                    }
                    found = true;
                    PostMessageA(box, WM_COMMAND, IDOK, 0);
                    return;
                }
                Sleep(20);
            }
        });
        {
            Watchdog dog(scaled(30s), "the dial failure message box");
            showDialFailure(owner.hwnd(), text);
        }
        dismisser.join();
        ASSERT_TRUE(found.load());
        EXPECT_EQ(shownCaption, "Kalvix3.dll");
        EXPECT_EQ(shownText, text);
        EXPECT_EQ(shownOwner, owner.hwnd());
        EXPECT_EQ(buttons, 1) << "OK only";
    }
}

} // namespace
