// The USB dial procedures against the stand-in: the calls DialUsb makes in each state of the
// adapter, with their pacing and the dialog, and the ITUSB_Control_TA request of DialItmux.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iconv.h>
#include <string>

#include "main/usb_access.h"
#include "support/line_fixture.h"
#include "support/time_bounds.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::testing::Bytes;
using kalvix3::testing::StandIn;

namespace {

using UsbDial = kalvix3::testing::UsbLineTest;
using kalvix3::testing::scaled;

std::string toCp932(const char8_t *utf8) {
    std::string in(reinterpret_cast<const char *>(utf8));
    std::string out(in.size() * 2, '\0');
    iconv_t convert = iconv_open("CP932", "UTF-8");
    char *from = in.data();
    char *to = out.data();
    size_t left = in.size(), room = out.size();
    size_t done = iconv(convert, &from, &left, &to, &room);
    iconv_close(convert);
    if (done == static_cast<size_t>(-1))
        return "";
    out.resize(out.size() - room);
    return out;
}

// The dial's Ev_USB_Control calls, the caller-status polls of the receive thread left out.
std::vector<SimUsbCall> dialCalls(const StandIn &sim) {
    std::vector<SimUsbCall> calls;
    for (const SimUsbCall &call : sim.calls(SIMUSB_EV_USB_CONTROL))
        if (call.code != itusb::kCallerStatusCode)
            calls.push_back(call);
    return calls;
}

std::vector<uint32_t> codesOf(const std::vector<SimUsbCall> &calls) {
    std::vector<uint32_t> codes;
    for (const SimUsbCall &call : calls)
        codes.push_back(call.code);
    return codes;
}

Bytes inputOf(const SimUsbCall &call) { return Bytes(call.input, call.input + call.inputLength); }

Bytes usbRequest(Bytes head, uint8_t portBit) {
    head.resize(sizeof(itusb::UsbDialRequest), 0);
    head[30] = portBit;
    return head;
}

// Clicks Cancel in the headless dialog, whose TDialForm begins with CancelFlag.
void clickCancel() { *static_cast<int32_t *>(_DialForm) = 1; }

constexpr uint32_t kStart = itusb::kDialStartCode;
constexpr uint32_t kState = itusb::kDialStateCode;
constexpr uint32_t kCancel = itusb::kDialCancelCode;
constexpr uint32_t kLine = itusb::kLineStateCode;

TEST(DialTexts, AreTheCodePage932BytesOfTheMessages) {
    EXPECT_EQ(std::string(kDialFailedText), toCp932(u8"ダイヤル発信失敗"));
    EXPECT_EQ(std::string(kDialNotReadyText),
              toCp932(u8"ダイヤル発信失敗\n受話器を置いた状態で発信ボタンを押してください"));
}

TEST_F(UsbDial, ReadyAdapterGetsTheDialogUntilTheDialledPortStopsRinging) {
    struct Case {
        int32_t port;
        uint8_t portBit;
        int32_t ringingPolls;
    };
    for (Case c : {Case{1, 0x01, 3}, Case{2, 0x04, 1}, Case{3, 0x10, 0}}) {
        StandIn &sim = useStandIn();
        sim.setLineStateOnes(c.ringingPolls);
        int dialogSeen = 0;
        sim.onEachControl([&](uint32_t code) {
            if (code == kLine && _DialForm != nullptr)
                ++dialogSeen;
        });
        openLine(32);
        DialUsb(usbLine(), c.port, digitTextOf("03-1234-5678"));
        EXPECT_EQ(_DialForm, nullptr);
        auto calls = dialCalls(sim);
        std::vector<uint32_t> expected = {kStart, kState};
        expected.insert(expected.end(), c.ringingPolls + 1, kLine);
        ASSERT_EQ(codesOf(calls), expected) << "port " << c.port;
        EXPECT_EQ(inputOf(calls[0]),
                  usbRequest({8, 10, 0x03, 0x12, 0x34, 0x56, 0x78}, c.portBit));
        EXPECT_EQ(inputOf(calls[1]), (Bytes{8, 0}));
        EXPECT_GE(calls[1].atMs - calls[0].atMs, 490);
        EXPECT_EQ(dialogSeen, c.ringingPolls + 1);
        CloseCommLineEx(0);
        EXPECT_EQ(sim.badCalls(), 0);
    }
}

TEST_F(UsbDial, RefusalsBeforeTheAdapterIsReadyShowNoDialog) {
    struct Case {
        const char *what;
        uint32_t refusedCode; // 0: none
        uint8_t state;
        std::vector<uint32_t> calls;
    };
    const Case cases[] = {
        {"request refused", kStart, 1, {kStart}},
        {"status refused", kState, 1, {kStart, kState}},
        {"state 0", 0, 0, {kStart, kState}},
    };
    for (const Case &c : cases) {
        StandIn &sim = useStandIn();
        if (c.refusedCode != 0)
            sim.failControl(c.refusedCode, 1, 5, 7);
        sim.setDialStates(&c.state, 1);
        bool dialogShown = false;
        sim.onEachControl([&](uint32_t code) {
            if (code != itusb::kCallerStatusCode && _DialForm != nullptr)
                dialogShown = true;
        });
        openLine(34);
        DialUsb(usbLine(), 1, digitTextOf("0312345678"));
        EXPECT_EQ(codesOf(dialCalls(sim)), c.calls) << c.what;
        EXPECT_FALSE(dialogShown) << c.what;
        EXPECT_EQ(_DialForm, nullptr);
        CloseCommLineEx(0);
    }
}

TEST_F(UsbDial, BusyAdapterIsAskedAgainEveryHalfSecond) {
    StandIn &sim = useStandIn();
    const uint8_t states[] = {2, 2, 1};
    sim.setDialStates(states, 3);
    sim.setLineStateOnes(0);
    openLine(32);
    DialUsb(usbLine(), 2, digitTextOf("117"));
    auto calls = dialCalls(sim);
    ASSERT_EQ(codesOf(calls), (std::vector<uint32_t>{kStart, kState, kState, kState, kLine}));
    for (int i = 2; i <= 3; ++i) {
        EXPECT_GE(calls[i].atMs - calls[i - 1].atMs, 490);
        EXPECT_LT(calls[i].atMs - calls[i - 1].atMs, 900);
    }
}

// The adapter answers neither ready nor busy for a while: the dial goes on while that lasts less
// than the time limit, and is withdrawn once it has lasted longer.
TEST_F(UsbDial, OtherStatesAreAskedForABoundedTime) {
    struct Case {
        const char *what;
        std::chrono::milliseconds readyAfter; // 0: never
        uint32_t limitMs;
        bool dialled;
    };
    const Case cases[] = {
        {"ready after 3 s", 3s, kDialStateLimitMs, true},
        {"never ready", 0ms, 1000, false},
    };
    for (const Case &c : cases) {
        StandIn &sim = useStandIn();
        const uint8_t unknown = 7, ready = 1;
        sim.setDialStates(&unknown, 1);
        sim.setLineStateOnes(0);
        auto started = std::chrono::steady_clock::now();
        sim.onEachControl([&](uint32_t code) {
            if (code == kState && c.readyAfter != 0ms &&
                std::chrono::steady_clock::now() - started >= c.readyAfter)
                sim.setDialStates(&ready, 1);
        });
        dialStateLimitMs = c.limitMs;
        openLine(32);
        DialUsb(usbLine(), 1, digitTextOf("0312345678"));
        dialStateLimitMs = kDialStateLimitMs;
        auto took = std::chrono::steady_clock::now() - started;
        auto calls = dialCalls(sim);
        ASSERT_FALSE(calls.empty()) << c.what;
        EXPECT_GT(sim.controlCalls(kState), 10) << c.what;
        EXPECT_LT(sim.controlCalls(kState), 1000) << c.what << ": a short pause between requests";
        EXPECT_EQ(sim.controlCalls(kLine), c.dialled ? 1 : 0) << c.what;
        EXPECT_EQ(sim.controlCalls(kCancel), c.dialled ? 0 : 1) << c.what;
        if (!c.dialled) { // the accepted request is withdrawn
            EXPECT_EQ(calls.back().code, kCancel) << c.what;
            EXPECT_EQ(inputOf(calls.back()), inputOf(calls.front())) << c.what;
        }
        EXPECT_GE(took, c.dialled ? c.readyAfter : std::chrono::milliseconds(c.limitMs)) << c.what;
        EXPECT_LT(took, c.dialled ? c.readyAfter + scaled(2s) : scaled(3s)) << c.what;
        EXPECT_EQ(_DialForm, nullptr);
        CloseCommLineEx(0);
    }
}

TEST_F(UsbDial, CancelSendsTheSameRequestAndClosesTheDialog) {
    StandIn &sim = useStandIn();
    sim.setLineStateOnes(-1); // nobody picks up
    sim.onEachControl([&](uint32_t code) {
        if (code == kLine && sim.controlCalls(kLine) == 3)
            clickCancel();
    });
    openLine(32);
    DialUsb(usbLine(), 3, digitTextOf("0312345678"));
    auto calls = dialCalls(sim);
    ASSERT_EQ(codesOf(calls), (std::vector<uint32_t>{kStart, kState, kLine, kLine, kLine, kCancel}));
    EXPECT_EQ(inputOf(calls.back()), inputOf(calls.front()));
    EXPECT_EQ(calls.back().inputLength, 31u);
    EXPECT_EQ(_DialForm, nullptr);
}

// The host's pump runs window procedures inside the dial: one of them closes the dialling line.
TEST_F(UsbDial, ClosingTheLineFromThePumpCancelsTheDialThenCloses) {
    StandIn &sim = useStandIn();
    sim.setLineStateOnes(-1);
    struct Pump {
        int passes = 0;
        bool openAfterClose = false;
    } pump;
    Kalvix3DialHost host{};
    host.context = &pump;
    host.pumpMessages = [](void *context, Kalvix3DialForm *) -> int32_t {
        auto *state = static_cast<Pump *>(context);
        if (++state->passes == 3) {
            EXPECT_EQ(CloseCommLineEx(0), 1);
            state->openAfterClose = lineSlot(0)->isOpen(); // the dial still uses its thread
        }
        return 0;
    };
    Kalvix3SetDialHost(&host);
    openLine(32);
    DialUsb(usbLine(), 1, digitTextOf("0312345678"));
    Kalvix3SetDialHost(nullptr);
    EXPECT_EQ(pump.passes, 3) << "the dial ends at the pass that closed the line";
    EXPECT_TRUE(pump.openAfterClose);
    EXPECT_FALSE(lineSlot(0)->isOpen()) << "closed once the dial returned";
    auto calls = dialCalls(sim);
    ASSERT_EQ(codesOf(calls), (std::vector<uint32_t>{kStart, kState, kLine, kLine, kCancel}));
    EXPECT_EQ(inputOf(calls.back()), inputOf(calls.front()));
    EXPECT_EQ(_DialForm, nullptr);
    // A dial on the slot finds no line; the slot opens again.
    DialUsb(usbLine(), 1, digitTextOf("0312345678"));
    EXPECT_EQ(dialCalls(sim).size(), calls.size());
    openLine(32);
}

// A dial made at once after the open waits for the receive thread to reach the adapter instead
// of sending nothing.
TEST_F(UsbDial, DialRightAfterTheOpenReachesTheAdapter) {
    struct Case {
        int32_t kind;
        uint32_t entry; // the stand-in entry the dial's request goes to
        uint32_t code;  // its control code (Ev_USB_Control), else 0
    };
    for (Case c : {Case{34, SIMUSB_EV_USB_CONTROL, kStart}, Case{38, SIMUSB_CONTROL_TA, 0}}) {
        StandIn &sim = useStandIn();
        const uint8_t refused = 0;
        sim.setDialStates(&refused, 1);
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, c.kind), KALVIX3_OK);
        KalvixDialEx(0, 1, "0312345678");
        size_t requests = 0;
        for (const SimUsbCall &call : sim.calls(c.entry))
            requests += c.code == 0 || call.code == c.code;
        EXPECT_EQ(requests, 1u) << "kind " << c.kind;
        CloseCommLineEx(0);
    }
}

TEST_F(UsbDial, NothingIsSentForPortsOutsideOneToThreeOrTooLongNumbers) {
    StandIn &sim = useStandIn();
    openLine(32);
    for (int32_t port : {0, 4, -1})
        DialUsb(usbLine(), port, digitTextOf("0312345678"));
    DialUsb(usbLine(), 1, digitTextOf("123456789012345678901"));
    EXPECT_TRUE(dialCalls(sim).empty());
    EXPECT_EQ(_DialForm, nullptr);
}

// ---- Multiplexed adapters ----------------------------------------------------------------------

TEST_F(UsbDial, TaRequestCarriesTheDigitsAndThePortIndex) {
    StandIn &sim = useStandIn();
    openLine(38);
    auto started = std::chrono::steady_clock::now();
    DialItmux(itmuxLine(), 2, digitTextOf("03-1234-5678"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, scaled(1s));
    for (int32_t port : {0, 4})
        DialItmux(itmuxLine(), port, digitTextOf("0312345678"));
    DialItmux(itmuxLine(), 1, digitTextOf("123456789012345678901"));
    auto calls = sim.calls(SIMUSB_CONTROL_TA);
    ASSERT_EQ(calls.size(), 1u);
    Bytes expected(54, 0);
    expected[0] = 10;
    std::memcpy(expected.data() + 1, "0312345678", 10);
    expected[53] = 1;
    EXPECT_EQ(inputOf(calls[0]), expected);
}

TEST_F(UsbDial, TaRequestThatDoesNotCompleteIsKeptUntilTheDeviceCloses) {
    StandIn &sim = useStandIn();
    sim.holdRequests(1);
    openLine(36);
    auto started = std::chrono::steady_clock::now();
    DialItmux(itmuxLine(), 1, digitTextOf("0312345678"));
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 4900ms);
    EXPECT_LT(waited, scaled(6000ms));
    CloseCommLineEx(0);
    auto closes = sim.calls(SIMUSB_CLOSE_DEVICE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].outstanding, 2); // the thread's event request and the dial
    EXPECT_EQ(closes[0].eventsOpen, 2);  // both events outlive the device
}

} // namespace
