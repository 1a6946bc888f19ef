// The Win32 side of the platform seam, where Wine runs it as Windows does: system services,
// modules, events, threads and the DCB conversion. Serial I/O itself is not tried here.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>

#include "platform/event.h"
#include "platform/module.h"
#include "platform/notify.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/win32/comm_state_win32.h"
#include "support/time_bounds.h"
#include "test_window.h"

using namespace kalvix3::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kalvix3::testing::scaled;

namespace {

std::string tempFolder() {
    char path[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, path);
    std::string folder = path;
    folder += "kalvix3-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

TEST(System, DirectoryAndPlatform) {
    char expected[MAX_PATH] = {};
    GetSystemDirectoryA(expected, MAX_PATH);
    EXPECT_EQ(systemDirectory(), expected);
    EXPECT_FALSE(systemDirectory().empty());
    EXPECT_EQ(windowsPlatformId(), static_cast<uint32_t>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(systemFilePath("C:\\windows\\system32", "\\ITUSB.DLL"),
              "C:\\windows\\system32\\ITUSB.DLL");
}

TEST(System, OnlyRegularFilesExist) {
    std::string folder = tempFolder();
    std::string file = folder + "\\ITUSB.SYS";
    std::string directory = folder + "\\ITUSB.DLL";
    HANDLE created = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));
    struct Case {
        std::string path;
        bool exists;
    };
    for (const Case &c : {Case{file, true}, Case{directory, false}, Case{folder, false},
                          Case{folder + "\\ITPORT.VXD", false},
                          Case{systemFilePath(systemDirectory(), "\\kernel32.dll"), true}})
        EXPECT_EQ(fileExists(c.path), c.exists) << c.path;
    DeleteFileA(file.c_str());
    RemoveDirectoryA(directory.c_str());
    RemoveDirectoryA(folder.c_str());
}

TEST(Modules, LoadLookUpAndRelease) {
    Module kernel = Module::load("kernel32.dll");
    ASSERT_TRUE(kernel);
    EXPECT_NE(kernel.symbol("GetTickCount"), nullptr);
    EXPECT_EQ(kernel.symbol("Kalvix3NoSuchEntry"), nullptr);
    kernel.release();
    EXPECT_FALSE(kernel);
    EXPECT_EQ(kernel.symbol("GetTickCount"), nullptr);

    Module missing = Module::load("kalvix3-no-such-library.dll");
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.symbol("anything"), nullptr);
}

TEST(Events, ManualResetAndNativeHandle) {
    Event event;
    ASSERT_TRUE(event.valid());
    EXPECT_FALSE(event.wait(0));
    event.set();
    EXPECT_TRUE(event.wait(0));
    EXPECT_TRUE(event.wait(0)); // manual reset: stays signalled
    event.reset();
    auto start = Clock::now();
    EXPECT_FALSE(event.wait(60));
    EXPECT_GE(Clock::now() - start, 50ms);
    // The native value is the event HANDLE a driver library signals.
    auto handle = reinterpret_cast<HANDLE>(event.native());
    ASSERT_TRUE(SetEvent(handle));
    EXPECT_TRUE(event.wait(0));
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
}

class SleepingThread : public Thread {
public:
    ~SleepingThread() override { stopAndWait(); }
    std::atomic<int> runs{0};
    std::atomic<bool> sawItself{false};
    std::atomic<bool> sleepCompleted{false};

protected:
    void ThreadMain() override {
        runs++;
        sawItself = isCurrentThread();
        sleepCompleted = sleepUnlessStopped(10000);
    }
};

TEST(Threads, StopEndsASleepAtOnce) {
    SleepingThread thread;
    EXPECT_FALSE(thread.finished());
    thread.resume();
    thread.resume(); // starts once
    auto deadline = Clock::now() + scaled(5s);
    while (thread.runs.load() == 0 && Clock::now() < deadline)
        Sleep(1);
    ASSERT_EQ(thread.runs.load(), 1);
    EXPECT_FALSE(thread.isCurrentThread());
    auto start = Clock::now();
    thread.stopAndWait();
    EXPECT_LT(Clock::now() - start, scaled(1s));
    EXPECT_TRUE(thread.finished());
    EXPECT_EQ(thread.runs.load(), 1);
    EXPECT_TRUE(thread.sawItself.load());
    EXPECT_FALSE(thread.sleepCompleted.load());
}

TEST(Threads, WaitingForAThreadNeverStartedReturnsAtOnce) {
    SleepingThread thread;
    auto start = Clock::now();
    thread.waitFor();
    thread.stopAndWait();
    EXPECT_LT(Clock::now() - start, scaled(100ms));
    EXPECT_EQ(thread.runs.load(), 0);
}

// A body that sends one message to a window, then waits for its stop.
class SendingBody : public Thread {
public:
    explicit SendingBody(HWND target) : target(target) {}
    ~SendingBody() override { stopAndWait(); }
    std::atomic<bool> sent{false};

protected:
    void ThreadMain() override {
        CopyDataRecord record{12, 1, const_cast<char *>("P")};
        sendMessage(target, KALVIX3_CALLER_NUMBER_MESSAGE, hostModuleHandle(), &record);
        sent = true;
        while (sleepUnlessStopped(1000)) {
        }
    }

private:
    HWND target;
};

// The window procedure runs on the window's thread: there, while it handles the body's message,
// the body waits on the caller; outside the procedure the same thread may wait for the body.
TEST(Threads, TheWindowProcedureOfABodysSendIsInsideTheBody) {
    kalvix3::wintest::ThreadWindow window;
    SendingBody body(window.hwnd());
    bool insideProcedure = false;
    window.onMessage = [&](const kalvix3::wintest::Delivered &) {
        insideProcedure = body.bodyWaitsOnCaller();
    };
    body.resume();
    ASSERT_TRUE(kalvix3::wintest::waitForPendingSend(scaled(5s)));
    EXPECT_FALSE(body.bodyWaitsOnCaller()) << "the send is pending, not being handled";
    ASSERT_TRUE(window.pumpUntil([&] { return window.count() == 1; }, scaled(5s)));
    EXPECT_TRUE(insideProcedure);
    ASSERT_TRUE(window.pumpUntil([&] { return body.sent.load(); }, scaled(5s)));
    EXPECT_FALSE(body.bodyWaitsOnCaller()) << "the send has returned";
    body.stopAndWait();
}

// Every field goes through the DCB's bit fields and back, at the edges of each field's width.
TEST(CommState, DcbFieldsConvertBothWays) {
    Dcb all;
    all.DCBlength = 28;
    all.BaudRate = 38400;
    all.fBinary = 1;
    all.fParity = 1;
    all.fOutxCtsFlow = 1;
    all.fOutxDsrFlow = 1;
    all.fDtrControl = 3;
    all.fDsrSensitivity = 1;
    all.fTXContinueOnXoff = 1;
    all.fOutX = 1;
    all.fInX = 1;
    all.fErrorChar = 1;
    all.fNull = 1;
    all.fRtsControl = 3;
    all.fAbortOnError = 1;
    all.fDummy2 = 0x1FFFF;
    all.wReserved = 0xFFFF;
    all.XonLim = 2048;
    all.XoffLim = 512;
    all.ByteSize = 7;
    all.Parity = EVENPARITY;
    all.StopBits = 2;
    all.XonChar = 0x11;
    all.XoffChar = 0x13;
    all.ErrorChar = '?';
    all.EofChar = 0x1A;
    all.EvtChar = '\r';
    all.wReserved1 = 0xBEEF;

    DCB native = win32::toNativeDcb(all);
    EXPECT_EQ(native.fDtrControl, 3u);
    EXPECT_EQ(native.fRtsControl, 3u);
    EXPECT_EQ(native.fDummy2, 0x1FFFFu);
    EXPECT_EQ(native.XonLim, 2048);
    EXPECT_EQ(win32::fromNativeDcb(native), all);

    // One field at a time: no field leaks into its neighbours.
    Dcb dtrOnly;
    dtrOnly.fDtrControl = DTR_CONTROL_ENABLE;
    DCB single = win32::toNativeDcb(dtrOnly);
    EXPECT_EQ(single.fDtrControl, 1u);
    EXPECT_EQ(single.fOutxDsrFlow, 0u);
    EXPECT_EQ(single.fDsrSensitivity, 0u);
    EXPECT_EQ(win32::fromNativeDcb(single), dtrOnly);
}

TEST(SerialPorts, APortThatCannotBeOpenedGivesNoPort) {
    EXPECT_EQ(openSystemSerialPort("COM0").port, nullptr);
    EXPECT_EQ(openSystemSerialPort("\\\\.\\KALVIX3-NO-SUCH-PORT").port, nullptr);
}

} // namespace
