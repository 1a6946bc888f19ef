// Window procedures that are slow or call back into the library from inside a notification,
// and dial hooks that do so from inside a USB dial. What the header promises holds: closing
// the notifying line is refused and the line keeps reporting; closing the line being dialled
// cancels the dial and closes the line once it returns; history, dialing and closing the other
// line are allowed; nothing deadlocks (every wait here
// is bounded, and a callback that never returns fails its row).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>

#include "itusb/records.h"
#include "kalvix3.h"
#include "main/kinds.h"
#include "main/lines.h"
#include "main/serial_line.h"
#include "platform/module.h"
#include "receiver_rig.h"
#include "recv/init_sequences.h"
#include "stand_in.h"
#include "support/host_window.h"
#include "support/process_stats.h"
#include "support/scripted_port.h"

using namespace std::chrono_literals;
using namespace kalvix3::testing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const auto kCallbackLimit = scaled(10s);

// ---- Notifications of serial lines (scripted ports) -----------------------------------------

enum class Callback {
    CloseOwnLine,
    CloseOtherLine,
    CloseOtherLineInItsOwnSlowNotification,
    DialOwnLine,
    DialOtherLine,
    HistoryOfOwnLine,
    HistoryOfOtherLine,
    NdaHistoryOfOwnLine,
    OpenOwnSlot,
    SlowProcedure,
};

struct NotifyRow {
    const char *name;
    int32_t kind;      // slot 0, whose notification calls back
    int32_t otherKind; // slot 1, or 0 for none
    Callback callback;
};

std::ostream &operator<<(std::ostream &out, const NotifyRow &row) { return out << row.name; }

// Runs in a temporary current directory holding the stand-in NDA_P1.dll, so an NDA-P1 history
// read gets as far as it can.
class NotificationCallback : public ::testing::TestWithParam<NotifyRow> {
protected:
    void SetUp() override {
        previous = fs::current_path();
        directory = fs::temp_directory_path() / ("kalvix3-reentry-" + std::to_string(getpid()));
        fs::create_directories(directory);
        fs::copy_file(KALVIX3_SIM_NDA_PATH, directory / "NDA_P1.dll",
                      fs::copy_options::overwrite_existing);
        fs::current_path(directory);
        nda = kalvix3::platform::Module::load((directory / "NDA_P1.dll").string());
        nda.entry<void (*)()>("SimNda_Reset")();
    }
    void TearDown() override {
        own.onMessage(nullptr);
        other.onMessage(nullptr);
        CloseCommLineEx(0);
        CloseCommLineEx(1);
        nda = kalvix3::platform::Module();
        fs::current_path(previous);
        fs::remove_all(directory);
    }

    std::shared_ptr<ScriptedDevice> open(int32_t slot, HostWindow &host, int32_t kind) {
        EXPECT_EQ(OpenCommLineEx(slot, host.window(), slot + 1, kind), 0);
        auto device = ports.device("COM" + std::to_string(slot + 1));
        const kalvix3::InitSequence *init = kalvix3::initSequenceFor(kind);
        size_t commands = init ? static_cast<size_t>(init->commandCount) : 0;
        EXPECT_TRUE(device->waitUntil(
            [&] {
                return device->writes().size() >= commands &&
                       device->currentMask() == kalvix3::kReceiveEvents && device->waitPending();
            },
            scaled(5s)));
        device->clearRecord();
        return device;
    }

    // A number-display adapter that answers the history requests from its store of three.
    static void answerHistory(ScriptedDevice &device) {
        device.onWrite([&device](const std::string &bytes) {
            if (bytes.size() < 4 || bytes[0] != '\x02' || bytes[1] != 'M')
                return;
            int entry = (bytes[2] - '0') * 10 + (bytes[3] - '0');
            if (entry < 1 || entry > 3)
                return;
            std::string number = "09000000" + std::to_string(entry);
            number.resize(20, ' ');
            device.inject("\x02" "0315 1042" + number + "\x03");
        });
    }

    fs::path previous, directory;
    kalvix3::platform::Module nda;
    ScriptedPorts ports;
    HostWindow own, other;
};

// What a window procedure's callback leaves for the test. Shared with the procedure, so a
// notification still being delivered when the test ends finds it alive.
struct Outcome {
    std::atomic<bool> done{false};
    std::atomic<bool> busy{false};
    std::atomic<int32_t> result{-1};
    std::atomic<int32_t> count{-1};
    std::atomic<int64_t> tookMs{0};
    HistoryRecord records[10] = {};
};

bool waitFlag(const std::atomic<bool> &flag, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!flag.load()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST_P(NotificationCallback, KeepsWhatTheHeaderPromises) {
    const NotifyRow row = GetParam();
    auto ownDevice = open(0, own, row.kind);
    std::shared_ptr<ScriptedDevice> otherDevice;
    if (row.otherKind != 0)
        otherDevice = open(1, other, row.otherKind);
    if (row.otherKind == 2)
        answerHistory(*otherDevice);
    kalvix3::TRecvThread *ownThread = kalvix3::serialThreadOf(*kalvix3::lineSlot(0));

    // The other line first gets a notification of its own that keeps its procedure busy.
    auto outcome = std::make_shared<Outcome>();
    if (row.callback == Callback::CloseOtherLineInItsOwnSlowNotification) {
        other.onMessage([outcome](const ReceivedMessage &) {
            outcome->busy = true;
            std::this_thread::sleep_for(300ms);
        });
        otherDevice->inject(reportOf(row.otherKind, freshNumber()));
        ASSERT_TRUE(waitFlag(outcome->busy, scaled(3s)));
    }

    HostWindow *ownWindow = &own;
    own.onMessage([outcome, row, ownWindow](const ReceivedMessage &) {
        if (outcome->done)
            return;
        auto start = Clock::now();
        int32_t asked = 3;
        switch (row.callback) {
        case Callback::CloseOwnLine:
            outcome->result = CloseCommLineEx(0);
            break;
        case Callback::CloseOtherLine:
        case Callback::CloseOtherLineInItsOwnSlowNotification:
            outcome->result = CloseCommLineEx(1);
            break;
        case Callback::DialOwnLine:
            KalvixDialEx(0, 2, "03-1111-2222");
            break;
        case Callback::DialOtherLine:
            KalvixDialEx(1, 3, "03-3333-4444");
            break;
        case Callback::HistoryOfOwnLine:
        case Callback::NdaHistoryOfOwnLine:
            outcome->result = GetHistoryEx(0, &asked, outcome->records);
            outcome->count = asked;
            break;
        case Callback::HistoryOfOtherLine:
            outcome->result = GetHistoryEx(1, &asked, outcome->records);
            outcome->count = asked;
            break;
        case Callback::OpenOwnSlot:
            outcome->result = OpenCommLineEx(0, ownWindow->window(), 5, row.kind);
            break;
        case Callback::SlowProcedure:
            std::this_thread::sleep_for(300ms);
            break;
        }
        outcome->tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              Clock::now() - start).count();
        outcome->done = true;
    });
    std::string first = freshNumber();
    ownDevice->inject(reportOf(row.kind, first));
    if (row.callback == Callback::SlowProcedure) {
        // A call that comes while the procedure is busy waits in the port and is heard after.
        ASSERT_TRUE(own.waitForCount(1, scaled(3s)));
        ownDevice->inject(reportOf(row.kind, freshNumber()));
    }
    ASSERT_TRUE(waitFlag(outcome->done, kCallbackLimit)) << "the callback never returned";
    EXPECT_EQ(own.texts().front(), first);
    const std::atomic<int32_t> &result = outcome->result;
    const std::atomic<int32_t> &count = outcome->count;
    const HistoryRecord *records = outcome->records;
    auto took = std::chrono::milliseconds(outcome->tookMs.load());

    switch (row.callback) {
    case Callback::CloseOwnLine:
        EXPECT_EQ(result.load(), 1);
        EXPECT_TRUE(kalvix3::lineSlot(0)->isOpen()) << "refused: the line stays open";
        break;
    case Callback::CloseOtherLine:
        EXPECT_EQ(result.load(), 1);
        EXPECT_FALSE(kalvix3::lineSlot(1)->isOpen());
        EXPECT_FALSE(otherDevice->isOpen());
        EXPECT_LT(took, scaled(500ms));
        break;
    case Callback::CloseOtherLineInItsOwnSlowNotification:
        EXPECT_FALSE(kalvix3::lineSlot(1)->isOpen());
        EXPECT_EQ(other.count(), 1u);
        EXPECT_LT(took, scaled(1s)) << "waits for the other procedure only";
        break;
    case Callback::DialOwnLine:
        EXPECT_NE(ownDevice->written().find("AT\\D2/0311112222\r\n"), std::string::npos);
        break;
    case Callback::DialOtherLine:
        EXPECT_NE(otherDevice->written().find("AT\\D3/0333334444\r\n"), std::string::npos);
        break;
    case Callback::HistoryOfOwnLine:
        // Its own receive thread is busy in this notification: no answer is heard.
        EXPECT_EQ(result.load(), 0);
        EXPECT_EQ(count.load(), 0);
        EXPECT_LT(took, scaled(1s));
        break;
    case Callback::HistoryOfOtherLine:
        EXPECT_EQ(result.load(), 0);
        EXPECT_EQ(count.load(), 3);
        EXPECT_EQ(std::string(records[2].number, 9), "090000003");
        break;
    case Callback::NdaHistoryOfOwnLine:
        EXPECT_EQ(result.load(), KALVIX3_HISTORY_FAILED);
        EXPECT_EQ(count.load(), 3);
        EXPECT_EQ(nda.entry<int (*)(const char *)>("SimNda_Calls")("NDA_Init"), 0);
        EXPECT_EQ(kalvix3::serialThreadOf(*kalvix3::lineSlot(0)), ownThread) << "the line untouched";
        break;
    case Callback::OpenOwnSlot:
        EXPECT_EQ(result.load(), KALVIX3_ERR_SLOT_BUSY);
        break;
    case Callback::SlowProcedure:
        break;
    }

    // The notifying line goes on reporting.
    size_t before = own.count();
    if (row.callback == Callback::SlowProcedure) {
        ASSERT_TRUE(own.waitForCount(2, scaled(3s))) << "the call that came meanwhile";
        before = 1;
    } else {
        ASSERT_TRUE(ownDevice->waitUntil(
            [&] { return ownDevice->currentMask() == kalvix3::kReceiveEvents &&
                         ownDevice->waitPending(); },
            scaled(3s)));
        std::string next = freshNumber();
        ownDevice->inject(reportOf(row.kind, next));
        ASSERT_TRUE(own.waitForCount(before + 1, scaled(3s)));
        EXPECT_EQ(own.texts().back(), next);
    }
    EXPECT_EQ(own.count(), before + 1);
}

const NotifyRow kNotifyRows[] = {
    {"CloseOwnLine", 14, 0, Callback::CloseOwnLine},
    {"CloseOtherLine", 14, 2, Callback::CloseOtherLine},
    {"CloseOtherLineInItsOwnSlowNotification", 2, 14,
     Callback::CloseOtherLineInItsOwnSlowNotification},
    {"DialOwnLine", 15, 0, Callback::DialOwnLine},
    {"DialOtherLine", 2, 15, Callback::DialOtherLine},
    {"HistoryOfOwnLine", 2, 0, Callback::HistoryOfOwnLine},
    {"HistoryOfOtherLine", 15, 2, Callback::HistoryOfOtherLine},
    {"NdaHistoryOfOwnLine", 3, 0, Callback::NdaHistoryOfOwnLine},
    {"OpenOwnSlot", 30, 0, Callback::OpenOwnSlot},
    {"SlowProcedure", 2, 0, Callback::SlowProcedure},
};
INSTANTIATE_TEST_SUITE_P(Rows, NotificationCallback, ::testing::ValuesIn(kNotifyRows),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Notifications of USB lines (stand-in ITUSB.DLL) ------------------------------------------

enum class UsbCallback { CloseOwnLine, HistoryOfOwnLine, DialOwnLine };

struct UsbNotifyRow {
    const char *name;
    int32_t kind;
    UsbCallback callback;
};

std::ostream &operator<<(std::ostream &out, const UsbNotifyRow &row) { return out << row.name; }

class UsbNotificationCallback : public ::testing::TestWithParam<UsbNotifyRow> {
protected:
    void SetUp() override { sim = std::make_unique<StandIn>(KALVIX3_STAND_IN_ITUSB); }
    void TearDown() override {
        host.onMessage(nullptr);
        CloseCommLineEx(0);
        EXPECT_EQ(sim->badCalls(), 0);
    }
    std::unique_ptr<StandIn> sim;
    HostWindow host;
};

TEST_P(UsbNotificationCallback, KeepsWhatTheHeaderPromises) {
    const UsbNotifyRow row = GetParam();
    bool polled = row.kind == 32 || row.kind == 34;
    sim->addHistoryEntry("0312345678", "20240506070809");
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, row.kind), 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            return polled ? sim->controlCalls(kalvix3::itusb::kCallerStatusCode) >= 1
                          : sim->callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0) >= 1;
        },
        scaled(5s)));
    auto outcome = std::make_shared<Outcome>();
    StandIn *stand = sim.get();
    host.onMessage([outcome, row, stand](const ReceivedMessage &) {
        if (outcome->done)
            return;
        int32_t asked = 10;
        switch (row.callback) {
        case UsbCallback::CloseOwnLine:
            outcome->result = CloseCommLineEx(0);
            break;
        case UsbCallback::HistoryOfOwnLine:
            outcome->result = GetHistoryEx(0, &asked, outcome->records);
            outcome->count = asked;
            break;
        case UsbCallback::DialOwnLine:
            stand->setLineStateOnes(0);
            KalvixDialEx(0, 1, "0312345678");
            break;
        }
        outcome->done = true;
    });
    sim->placeCall("0311112222");
    ASSERT_TRUE(waitFlag(outcome->done, kCallbackLimit)) << "the callback never returned";
    const std::atomic<int32_t> &result = outcome->result;
    const std::atomic<int32_t> &count = outcome->count;
    switch (row.callback) {
    case UsbCallback::CloseOwnLine:
        EXPECT_EQ(result.load(), 1);
        EXPECT_TRUE(kalvix3::lineSlot(0)->isOpen());
        break;
    case UsbCallback::HistoryOfOwnLine:
        EXPECT_EQ(result.load(), 0);
        EXPECT_EQ(count.load(), 1);
        break;
    case UsbCallback::DialOwnLine:
        EXPECT_EQ(sim->controlCalls(kalvix3::itusb::kDialStartCode) +
                      sim->callCount(SIMUSB_CONTROL_TA, 0),
                  1);
        EXPECT_EQ(_DialForm, nullptr);
        break;
    }
    // The line goes on reporting.
    sim->placeCall("0333334444");
    ASSERT_TRUE(host.waitForCount(2, scaled(5s)));
    EXPECT_EQ(host.texts(), (std::vector<std::string>{"0311112222", "0333334444"}));
}

const UsbNotifyRow kUsbNotifyRows[] = {
    {"ItmuxCloseOwnLine", 36, UsbCallback::CloseOwnLine},
    {"ItmuxHistoryOfOwnLine", 38, UsbCallback::HistoryOfOwnLine},
    {"ItmuxDialOwnLine", 40, UsbCallback::DialOwnLine},
    {"PolledCloseOwnLine", 32, UsbCallback::CloseOwnLine},
    {"PolledHistoryOfOwnLine", 34, UsbCallback::HistoryOfOwnLine},
    {"PolledDialOwnLine", 32, UsbCallback::DialOwnLine},
};
INSTANTIATE_TEST_SUITE_P(Rows, UsbNotificationCallback, ::testing::ValuesIn(kUsbNotifyRows),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Dial hooks of the polled USB adapters ---------------------------------------------------

enum class Hook { FormShown, Pump, MessageBox };
enum class HookCall { CloseDialledLine, CloseOtherLine, HistoryOfDialledLine };

struct HookRow {
    const char *name;
    Hook hook;
    HookCall call;
};

std::ostream &operator<<(std::ostream &out, const HookRow &row) { return out << row.name; }

class DialHookCallback : public ::testing::TestWithParam<HookRow> {
public:
    void SetUp() override { sim = std::make_unique<StandIn>(KALVIX3_STAND_IN_ITUSB); }
    void TearDown() override {
        Kalvix3SetDialHost(nullptr);
        CloseCommLineEx(0);
        CloseCommLineEx(1);
        EXPECT_EQ(sim->badCalls(), 0);
    }

    // What a hook does: the row's call, once.
    void callBack() {
        if (called.exchange(true))
            return;
        switch (GetParam().call) {
        case HookCall::CloseDialledLine:
            CloseCommLineEx(0);
            break;
        case HookCall::CloseOtherLine:
            CloseCommLineEx(1);
            break;
        case HookCall::HistoryOfDialledLine: {
            HistoryRecord records[10] = {};
            int32_t asked = 10;
            historyResult = GetHistoryEx(0, &asked, records);
            break;
        }
        }
    }
    static DialHookCallback &of(void *context) { return *static_cast<DialHookCallback *>(context); }

    std::unique_ptr<StandIn> sim;
    HostWindow host, other;
    std::atomic<bool> called{false};
    std::atomic<int32_t> historyResult{-1};
};

TEST_P(DialHookCallback, NeverPullsTheLineFromUnderTheDial) {
    const HookRow row = GetParam();
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), 0);
    ASSERT_EQ(OpenCommLineEx(1, other.window(), 0, 36), 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            return sim->controlCalls(kalvix3::itusb::kCallerStatusCode) >= 1 &&
                   sim->callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0) >= 1;
        },
        scaled(5s)));
    Kalvix3DialHost hooks{};
    hooks.context = this;
    switch (row.hook) {
    case Hook::FormShown:
        hooks.formShown = [](void *context, Kalvix3DialForm *) { of(context).callBack(); };
        break;
    case Hook::Pump:
        hooks.pumpMessages = [](void *context, Kalvix3DialForm *) -> int32_t {
            of(context).callBack();
            return 0;
        };
        break;
    case Hook::MessageBox:
        hooks.messageBox = [](void *context, Kalvix3Window, const char *, const char *,
                              uint32_t) { of(context).callBack(); };
        sim->failControl(kalvix3::itusb::kDialStartCode, 1, 0, 0);
        break;
    }
    Kalvix3SetDialHost(&hooks);
    sim->setLineStateOnes(4);
    auto start = Clock::now();
    KalvixDialEx(0, 1, "0312345678");
    EXPECT_LT(Clock::now() - start, scaled(5s));
    EXPECT_TRUE(called.load());
    EXPECT_EQ(_DialForm, nullptr);
    if (row.hook != Hook::MessageBox && row.call != HookCall::CloseDialledLine)
        EXPECT_EQ(sim->controlCalls(kalvix3::itusb::kLineStateCode), 5) << "the dial ran to its end";
    switch (row.call) {
    case HookCall::CloseDialledLine:
        // The close cancels the dial at its next pass and is carried out once the dial returns.
        EXPECT_FALSE(kalvix3::lineSlot(0)->isOpen()) << "closed once the dial has returned";
        if (row.hook != Hook::MessageBox)
            EXPECT_EQ(sim->controlCalls(kalvix3::itusb::kDialCancelCode), 1) << "the dial was cancelled";
        break;
    case HookCall::CloseOtherLine:
        EXPECT_FALSE(kalvix3::lineSlot(1)->isOpen());
        break;
    case HookCall::HistoryOfDialledLine:
        EXPECT_EQ(historyResult.load(), 0);
        break;
    }
    EXPECT_EQ(CloseCommLineEx(0), 1);
    EXPECT_FALSE(kalvix3::lineSlot(0)->isOpen());
}

const HookRow kHookRows[] = {
    {"FormShownClosesTheDialledLine", Hook::FormShown, HookCall::CloseDialledLine},
    {"PumpClosesTheDialledLine", Hook::Pump, HookCall::CloseDialledLine},
    {"MessageBoxClosesTheDialledLine", Hook::MessageBox, HookCall::CloseDialledLine},
    {"PumpClosesTheOtherLine", Hook::Pump, HookCall::CloseOtherLine},
    {"PumpReadsTheDialledLinesHistory", Hook::Pump, HookCall::HistoryOfDialledLine},
};
INSTANTIATE_TEST_SUITE_P(Rows, DialHookCallback, ::testing::ValuesIn(kHookRows),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace

namespace {

// ---- A line that reports at once ---------------------------------------------------------------

// A USB line whose driver library does not load reports 311 the moment its thread starts; a
// window procedure that answers by closing the line asks, on that new thread, whether it is
// the line's own thread, while the opening code may still be storing that thread.
TEST(ImmediateReport, ClosingTheLineFromItsFirstNotificationIsRefused) {
    for (int32_t kind : {32, 36}) {
        TempDirectory directory;
        directory.writeFile("ITUSB.DLL", "not a shared object");
        directory.useAsSystemDirectory();
        HostWindow host;
        auto outcome = std::make_shared<Outcome>();
        host.onMessage([outcome](const ReceivedMessage &) {
            CloseCommLineEx(1);
            outcome->done = true;
        });
        ASSERT_EQ(OpenCommLineEx(1, host.window(), 0, kind), 0);
        ASSERT_TRUE(waitFlag(outcome->done, kCallbackLimit));
        EXPECT_TRUE(kalvix3::lineSlot(1)->isOpen()) << "refused: the line stays open";
        EXPECT_EQ(host.messages().front().dwData, 311u);
        host.onMessage(nullptr);
        CloseCommLineEx(1);
        EXPECT_FALSE(kalvix3::lineSlot(1)->isOpen());
    }
}

} // namespace
