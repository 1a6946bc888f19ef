// Serial lines over the scripted port: profiles, initialisation, frames, errors and closing.
#include <gtest/gtest.h>

#include <thread>

#include "kalvix3.h"
#include "main/lines.h"
#include "platform/serial_port.h"
#include "recv/recv_thread.h"
#include "support/host_window.h"
#include "support/scripted_port.h"
#include "support/time_bounds.h"

using namespace kalvix3;
using namespace kalvix3::platform;
using namespace std::chrono_literals;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ScriptedDevice;
using kalvix3::testing::ScriptedPorts;
using kalvix3::testing::scaled;

namespace {

class SerialLine : public ::testing::Test {
protected:
    void TearDown() override {
        CloseCommLineEx(0);
        CloseCommLineEx(1);
    }
    std::shared_ptr<ScriptedDevice> openKind(int32_t kind, int32_t port = 3, int32_t slot = 0) {
        EXPECT_EQ(OpenCommLineEx(slot, host.window(), port, kind), 0);
        return ports.device("COM" + std::to_string(port));
    }
    ScriptedPorts ports;
    HostWindow host;
};

struct ProfileCase {
    int32_t kind;
    uint32_t baud;
    uint8_t byteSize, parity, fParity, cts, dtr, rts;
};

TEST_F(SerialLine, ProfilesSetThePortAndKeepDriverFields) {
    const ProfileCase cases[] = {
        {1, 9600, 7, EVENPARITY, 1, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {3, 4800, 8, NOPARITY, 0, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {5, 38400, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {8, 38400, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {10, 19200, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {30, 19200, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {50, 19200, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
    };
    for (const ProfileCase &c : cases) {
        auto device = openKind(c.kind);
        Dcb dcb = device->lastState();
        EXPECT_EQ(dcb.BaudRate, c.baud) << c.kind;
        EXPECT_EQ(dcb.ByteSize, c.byteSize);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.fParity, c.fParity);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.cts);
        EXPECT_EQ(dcb.fDtrControl, c.dtr);
        EXPECT_EQ(dcb.fRtsControl, c.rts);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
        EXPECT_EQ(dcb.fBinary, 1);
        // What the profile does not set stays as the driver reported it.
        EXPECT_EQ(dcb.XonLim, 2048);
        EXPECT_EQ(dcb.XoffLim, 512);
        EXPECT_EQ(dcb.XonChar, 0x11);
        EXPECT_EQ(dcb.EofChar, 0x1A);
        EXPECT_EQ(dcb.fDummy2, 5u);
        CommTimeouts timeouts = device->lastTimeouts();
        EXPECT_EQ(timeouts.readIntervalTimeout, 0xFFFFFFFFu);
        EXPECT_EQ(timeouts.readTotalTimeoutConstant, 1000u);
        EXPECT_EQ(timeouts.writeTotalTimeoutConstant, 10000u);
        ASSERT_FALSE(device->masks().empty());
        EXPECT_EQ(device->masks().front(), 0x81u);
        bool raisedDtr = !device->escapes().empty() && device->escapes().front() == SETDTR;
        EXPECT_EQ(raisedDtr, c.kind == 3);
        CloseCommLineEx(0);
        EXPECT_FALSE(device->isOpen());
        device->clearRecord();
    }
}

TEST_F(SerialLine, EachFailingStepHasItsCode) {
    struct Case {
        const char *step;
        int32_t kind;
        int32_t code;
    };
    const Case cases[] = {{"open", 2, 1},     {"setupComm", 2, 2}, {"setTimeouts", 2, 3},
                          {"getState", 2, 4}, {"setState", 2, 5},  {"setMask", 2, 6},
                          {"escape", 3, 7}};
    int port = 1;
    for (const Case &c : cases) {
        auto device = ports.device("COM" + std::to_string(port));
        device->failStep(c.step);
        EXPECT_EQ(OpenCommLineEx(0, host.window(), port, c.kind), c.code) << c.step;
        EXPECT_FALSE(lineSlot(0)->isOpen());
        EXPECT_FALSE(device->isOpen()) << "the port is closed again after " << c.step;
        ++port;
    }
}

TEST_F(SerialLine, SamePortInBothSlotsGivesOne) {
    openKind(2, 4, 0);
    EXPECT_EQ(OpenCommLineEx(1, host.window(), 4, 2), KALVIX3_ERR_PORT_OPEN);
}

TEST_F(SerialLine, ReopeningAnOpenSlotIsRefused) {
    auto device = openKind(2, 4, 0);
    EXPECT_EQ(OpenCommLineEx(0, host.window(), 5, 14), KALVIX3_ERR_SLOT_BUSY);
    EXPECT_EQ(lineSlot(0)->kind, 2);
    EXPECT_TRUE(device->isOpen());
}

TEST_F(SerialLine, PortsOutsideOneToNineAreNotOpened) {
    for (int32_t port : {0, 10, 12, -3})
        EXPECT_EQ(OpenCommLineEx(0, host.window(), port, 2), KALVIX3_ERR_PORT_OPEN) << port;
    EXPECT_FALSE(ports.device("COM1")->isOpen());
}

TEST_F(SerialLine, StxFrameIsAcknowledgedAndReported) {
    auto device = openKind(2);
    ASSERT_TRUE(device->waitUntil([&] { return device->waitPending(); }, scaled(2s)));
    device->inject("\x02" "0315 1042");
    device->inject("0312345678          \x03");
    EXPECT_FALSE(host.waitForCount(1, 150ms));
    device->inject("\x02");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    auto message = host.messages()[0];
    EXPECT_EQ(message.text, "0312345678");
    EXPECT_EQ(message.cbData, 10u);
    EXPECT_EQ(message.dwData, 12u);
    EXPECT_EQ(device->written(), "\x06\r\n");
}

TEST_F(SerialLine, InitialisationBytesAndPacing) {
    auto device = openKind(14);
    ASSERT_TRUE(device->waitUntil([&] { return device->writes().size() == 3; }, scaled(2s)));
    auto writes = device->writes();
    EXPECT_EQ(writes[0].bytes, "ATG41=0\r\n");
    EXPECT_EQ(writes[1].bytes, "ATG42=0\r\n");
    EXPECT_EQ(writes[2].bytes, "ATG55=0\r\n");
    for (int i = 1; i < 3; ++i) {
        auto gap = writes[i].when - writes[i - 1].when;
        EXPECT_GE(gap, 95ms);
        EXPECT_LT(gap, scaled(300ms));
    }
}

TEST_F(SerialLine, Mn128WaitsHalfASecondBeforeItsCommands) {
    auto start = kalvix3::testing::Clock::now();
    auto device = openKind(50);
    ASSERT_TRUE(device->waitUntil([&] { return device->writes().size() == 3; }, scaled(3s)));
    auto writes = device->writes();
    EXPECT_GE(writes[0].when - start, 495ms);
    EXPECT_EQ(writes[0].bytes, "ATZ\r\n");
    EXPECT_EQ(writes[1].bytes, "AT&F!T2W3\r\n");
    EXPECT_EQ(writes[2].bytes, "AT#H1\r\n");
}

TEST_F(SerialLine, ClosingAnMn128SendsResetBeforePurgeAndClose) {
    auto device = openKind(50);
    ASSERT_TRUE(device->waitUntil([&] { return device->writes().size() == 3; }, scaled(3s)));
    device->clearRecord();
    CloseCommLineEx(0);
    auto calls = device->calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0], "setMask");
    EXPECT_EQ(calls[1], "write");
    EXPECT_EQ(device->writes()[0].bytes, "ATZ\r\n");
    EXPECT_EQ(calls[2], "purge");
    EXPECT_EQ(calls.back(), "close");
}

TEST_F(SerialLine, ClosingAnNdaP1LowersDtrAfterTheThreadEnds) {
    auto device = openKind(3);
    device->clearRecord();
    CloseCommLineEx(0);
    auto calls = device->calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 2], "escape");
    EXPECT_EQ(device->escapes().back(), CLRDTR);
    EXPECT_EQ(calls.back(), "close");
}

TEST_F(SerialLine, LineErrorIsReportedOnceAndReceptionGoesOn) {
    auto device = openKind(14);
    ASSERT_TRUE(device->waitUntil([&] { return device->writes().size() == 3 &&
                                              device->currentMask() == 0x81; }, scaled(2s)));
    device->injectError(CE_FRAME | CE_RXOVER);
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    EXPECT_EQ(host.messages()[0].message, KALVIX3_LINE_ERROR_MESSAGE);
    EXPECT_EQ(host.messages()[0].dwData, 2u);
    ASSERT_TRUE(device->waitUntil([&] { return device->currentMask() == 0x81; }, scaled(2s)));
    device->inject("RING   0312345678\r");
    ASSERT_TRUE(host.waitForCount(2, scaled(2s)));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"0312345678"});
}

TEST_F(SerialLine, StrayZeroByteCostsOnlyTheCallItLandsIn) {
    auto device = openKind(14);
    ASSERT_TRUE(device->waitUntil([&] { return device->currentMask() == 0x81 &&
                                              device->writes().size() == 3; }, scaled(2s)));
    device->inject(std::string("RI\0NG   111", 11));
    device->inject("RING   222\r");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"222"});
}

// A host that held the thread up lets more than one read chunk queue: the CR that ends the noise
// early in the burst must not get the call after it purged unread.
TEST_F(SerialLine, FrameEndEarlyInALongBurstDoesNotLoseTheCallAfterIt) {
    auto device = openKind(14);
    ASSERT_TRUE(device->waitUntil([&] { return device->currentMask() == 0x81 &&
                                              device->writes().size() == 3; }, scaled(2s)));
    device->inject(std::string(130, 'x') + "\r" + std::string(10, 'y') + "RING   0312345678\r");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"0312345678"});
}

TEST_F(SerialLine, OverlongNoiseNeverOverflowsAndTheNextCallArrives) {
    auto device = openKind(17);
    ASSERT_TRUE(device->waitUntil([&] { return device->currentMask() == 0x81 &&
                                              device->writes().size() == 1; }, scaled(2s)));
    for (int i = 0; i < 20; ++i)
        device->inject(std::string(100, 'x'));
    device->inject("ANALOG 0312345678\r\n\r\n");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"0312345678"});
}

TEST_F(SerialLine, CloseEndsTheThreadPromptly) {
    for (int32_t kind : {2, 14, 50}) {
        auto device = openKind(kind);
        // The thread is under way: listening (kind 2) or inside its initialisation sequence.
        ASSERT_TRUE(device->waitUntil(
            [&] { return device->waitPending() || !device->writes().empty(); }, scaled(2s)));
        auto start = kalvix3::testing::Clock::now();
        CloseCommLineEx(0);
        EXPECT_LT(kalvix3::testing::Clock::now() - start, scaled(200ms)) << kind;
        EXPECT_FALSE(device->isOpen());
    }
}

// A host may open a line without a window: its calls and errors then reach nobody, and the
// line goes on acknowledging calls.
TEST_F(SerialLine, LineWithoutAWindowKeepsReceiving) {
    ASSERT_EQ(OpenCommLineEx(0, nullptr, 3, 2), 0);
    auto device = ports.device("COM3");
    auto listening = [&] { return device->currentMask() == 0x81 && device->waitPending(); };
    ASSERT_TRUE(device->waitUntil(listening, scaled(2s)));
    device->inject("\x02" "0315 10420312345678          \x03" "\x02");
    ASSERT_TRUE(device->waitUntil([&] { return device->writes().size() == 1 && listening(); },
                                  scaled(2s)));
    size_t purges = device->purges().size();
    device->injectError(CE_FRAME);
    ASSERT_TRUE(device->waitUntil([&] { return device->purges().size() > purges && listening(); },
                                  scaled(2s)));
    device->inject("\x02" "0315 10440399998888          \x03" "\x02");
    ASSERT_TRUE(device->waitUntil([&] { return device->writes().size() == 2 && listening(); },
                                  scaled(2s)));
    EXPECT_EQ(device->written(), "\x06\r\n\x06\r\n");
}

} // namespace

namespace {

TEST_F(SerialLine, LateRepeatOfAnAcknowledgedReportIsNotTakenForTheNextCall) {
    auto device = openKind(2);
    ASSERT_TRUE(device->waitUntil([&] { return device->waitPending(); }, scaled(2s)));
    const std::string first = "\x02" "0315 10420312345678          \x03";
    const std::string second = "\x02" "0315 10440399998888          \x03";
    device->inject(first + "\x02");
    ASSERT_TRUE(host.waitForCount(1, scaled(2s)));
    ASSERT_TRUE(device->waitUntil(
        [&] { return device->currentMask() == 0x81 && device->waitPending(); }, scaled(2s)));
    device->inject(first); // the adapter had not seen the acknowledgement yet
    // The repeat is read on its own: the thread listens again.
    ASSERT_TRUE(device->waitUntil([&] { return device->waitPending(); }, scaled(2s)));
    device->inject(second + "\x02");
    ASSERT_TRUE(host.waitForCount(2, scaled(2s)));
    EXPECT_EQ(host.texts(), (std::vector<std::string>{"0312345678", "0399998888"}));
}

} // namespace
