// Serial lines through the exported interface and the real POSIX port, with simulated devices
// on pseudo-terminals: calls of every family, initialisation, pieces, two lines, exclusive
// ports, closing in awkward moments, vanishing devices and line noise.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "kalvix3.h"
#include "kalvix3_sim/serial_device.h"
#include "main/lines.h"
#include "main/serial_line.h"
#include "recv/recv_thread.h"
#include "support/host_window.h"
#include "support/line_fixture.h"
#include "support/time_bounds.h"

using namespace std::chrono_literals;
using kalvix3::sim::Call;
using kalvix3::sim::CallerKind;
using kalvix3::sim::Pacing;
using kalvix3::sim::SerialDevice;
using kalvix3::testing::ComDirectory;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ObservedPorts;
using kalvix3::testing::PortLog;
using Clock = std::chrono::steady_clock;
using kalvix3::testing::scaled;

namespace {

// Long enough for the slowest initialisation (0.8 s) on a busy machine.
const auto kReady = scaled(5s);
const auto kArrival = scaled(5s);

class SerialLines : public ::testing::Test {
protected:
    void TearDown() override {
        CloseCommLineEx(0);
        CloseCommLineEx(1);
    }

    SerialDevice &attach(int kind, int port) {
        devices.push_back(SerialDevice::start(kind));
        comDir.link(port, devices.back()->slavePath());
        return *devices.back();
    }

    // Opens the line and waits until its receive thread listens for events (initialisation
    // done); returns the port's log.
    std::shared_ptr<PortLog> openListening(int32_t slot, HostWindow &window, int32_t port,
                                           int32_t kind) {
        EXPECT_EQ(OpenCommLineEx(slot, window.window(), port, kind), 0);
        auto log = observed.log("COM" + std::to_string(port));
        EXPECT_TRUE(log->waitUntilListening(kReady)) << "kind " << kind;
        return log;
    }


    ComDirectory comDir;
    ObservedPorts observed;
    HostWindow host;
    HostWindow secondHost;
    std::vector<std::unique_ptr<SerialDevice>> devices;
};

// ---- A call of every family reaches the host ---------------------------------------------

struct CallCase {
    int kind;
    Call call;
    const char *text;
};

Call number(const char *digits) { return Call::withNumber(digits); }

std::ostream &operator<<(std::ostream &out, const CallCase &c) {
    return out << "kind " << c.kind << " -> " << c.text;
}

class CallsOfEveryFamily : public SerialLines, public ::testing::WithParamInterface<CallCase> {};

TEST_P(CallsOfEveryFamily, ReachTheHostWindowOnce) {
    const CallCase &c = GetParam();
    SerialDevice &device = attach(c.kind, 3);
    auto log = openListening(0, host, 3, c.kind);
    device.placeCall(c.call);
    ASSERT_TRUE(host.waitForCount(1, kArrival));
    auto message = host.messages()[0];
    EXPECT_EQ(message.message, static_cast<uint32_t>(KALVIX3_CALLER_NUMBER_MESSAGE));
    EXPECT_EQ(message.dwData, 12u);
    EXPECT_EQ(message.text, c.text);
    EXPECT_EQ(message.cbData, std::strlen(c.text));
    EXPECT_NE(message.wParam, 0u);
    if (device.family() == kalvix3::sim::Family::NumberDisplay) {
        ASSERT_TRUE(device.waitUntilSent(kArrival)) << "the frame was acknowledged";
        EXPECT_EQ(device.receivedBytes(), "\x06\r\n");
    }
    ASSERT_TRUE(log->waitUntilListeningSince(message.when, kArrival));
    EXPECT_EQ(host.count(), 1u);
}

const CallCase kCalls[] = {
    {2, number("0312345678"), "0312345678"},
    {1, Call::of(CallerKind::Withheld), "P"},
    {4, Call::of(CallerKind::OutOfArea), "O"},
    {7, Call::of(CallerKind::PublicPhone), "C"},
    {3, number("03-1234-5678"), "0312345678"},
    {3, Call::of(CallerKind::Withheld), "P"},
    {3, Call::of(CallerKind::OutOfArea), "O"},
    {3, Call::of(CallerKind::PublicPhone), "C"},
    {5, number("0312345678"), "0312345678"},
    {6, Call::of(CallerKind::Withheld), "P"},
    {8, Call::of(CallerKind::PublicPhone), "C"},
    {14, number("0312345678"), "0312345678"},
    {10, Call::of(CallerKind::Withheld), "P"},
    {60, Call::of(CallerKind::OutOfArea), "O"},
    {15, Call::of(CallerKind::PublicPhone), "C"},
    {14, Call::of(CallerKind::NoNumber), "$"},
    {17, number("0312345678"), "0312345678"},
    {13, Call::of(CallerKind::Withheld), "P"},
    {71, Call::of(CallerKind::PublicPhone), "C"},
    {30, number("0312345678"), "0312345678"},
    {31, Call::of(CallerKind::OutOfArea), "O"},
    {47, Call::of(CallerKind::Withheld), "P"},
    {50, number("0312345678"), "0312345678"},
    {50, Call::of(CallerKind::Withheld), "P"},
};
INSTANTIATE_TEST_SUITE_P(Integration, CallsOfEveryFamily, ::testing::ValuesIn(kCalls));

TEST_F(SerialLines, ACallWithoutNumberIsAcknowledgedButNotReported) {
    SerialDevice &device = attach(2, 3);
    auto log = openListening(0, host, 3, 2);
    device.placeCall(Call::of(CallerKind::NoNumber));
    ASSERT_TRUE(device.waitForReceived("\x06\r\n", kArrival));
    ASSERT_EQ(log->writeTimes().size(), 1u);
    ASSERT_TRUE(log->waitUntilListeningSince(log->writeTimes().back(), kArrival));
    EXPECT_EQ(host.count(), 0u);
}

// ---- Initialisation ----------------------------------------------------------------------

struct InitCase {
    int kind;
    const char *bytes;
    size_t writes;
    std::chrono::milliseconds pauseBefore;
};

std::ostream &operator<<(std::ostream &out, const InitCase &c) {
    return out << "kind " << c.kind << ", " << c.writes << " commands";
}

class Initialisation : public SerialLines, public ::testing::WithParamInterface<InitCase> {};

TEST_P(Initialisation, SendsTheKindsCommandsAbout100msApart) {
    const InitCase &c = GetParam();
    SerialDevice &device = attach(c.kind, 3);
    auto opened = Clock::now();
    auto log = openListening(0, host, 3, c.kind);
    std::string expected = c.bytes;
    if (!expected.empty())
        ASSERT_TRUE(device.waitForReceived(expected, kArrival));
    EXPECT_EQ(device.receivedBytes(), expected);
    auto writes = log->writeTimes();
    ASSERT_EQ(writes.size(), c.writes);
    for (size_t i = 1; i < writes.size(); ++i) {
        EXPECT_GE(writes[i] - writes[i - 1], 99ms) << "write " << i;
        EXPECT_LT(writes[i] - writes[i - 1], scaled(1s)) << "write " << i;
    }
    if (!writes.empty()) {
        EXPECT_GE(writes[0] - opened, c.pauseBefore);
        EXPECT_GE(device.received().front().when - opened, c.pauseBefore);
    }
}

const InitCase kInitialisations[] = {
    {2, "", 0, 0ms},
    {5, "", 0, 0ms},
    {10, "ATG41=0\r\nATG42=0\r\n", 2, 0ms},
    {14, "ATG41=0\r\nATG42=0\r\nATG55=0\r\n", 3, 0ms},
    {17, "AT$D12=0\r\n", 1, 0ms},
    {18, "AT$A16=1\r\nAT$B16=1\r\nAT$C16=1\r\n", 3, 0ms},
    {30, "AT$A16=1\r\nAT$B16=1\r\nAT$C16=1\r\n", 3, 0ms},
    {50, "ATZ\r\nAT&F!T2W3\r\nAT#H1\r\n", 3, 500ms},
};
INSTANTIATE_TEST_SUITE_P(Integration, Initialisation, ::testing::ValuesIn(kInitialisations));

// ---- Frames in pieces, two lines, exclusive ports ---------------------------------------

struct PiecesCase {
    int kind;
    std::string bytes;
    size_t pieceSize;
    const char *text;
};

std::ostream &operator<<(std::ostream &out, const PiecesCase &c) {
    return out << "kind " << c.kind << " in pieces of " << c.pieceSize;
}

class FramesInPieces : public SerialLines, public ::testing::WithParamInterface<PiecesCase> {};

TEST_P(FramesInPieces, AreAssembledAndReportedOnce) {
    const PiecesCase &c = GetParam();
    SerialDevice &device = attach(c.kind, 3);
    auto log = openListening(0, host, 3, c.kind);
    device.sendRaw(c.bytes, Pacing{c.pieceSize, 15ms});
    ASSERT_TRUE(host.waitForCount(1, kArrival));
    EXPECT_EQ(host.texts(), std::vector<std::string>{c.text});
    ASSERT_TRUE(device.waitUntilSent(kArrival));
    ASSERT_TRUE(log->waitUntilListeningSince(host.messages()[0].when, kArrival));
    EXPECT_EQ(host.count(), 1u);
}

const PiecesCase kPieces[] = {
    {2, kalvix3::sim::callerReport(kalvix3::sim::Family::NumberDisplay, number("0312345678")) + "\x02", 4, "0312345678"},
    {3, "\r\nCALL 03-1234-5678 03/15 10:42/C\r\n", 5, "0312345678"},
    {5, "\r\nCID:0312345678:1\r\nFSKEND\r\n", 3, "0312345678"},
    {30, "\r\nANALOG 0312345678\r\n", 2, "0312345678"},
    {50, "RING   0312345678\r\n", 6, "0312345678"},
};
INSTANTIATE_TEST_SUITE_P(Integration, FramesInPieces, ::testing::ValuesIn(kPieces));

TEST_F(SerialLines, TwoLinesOnTwoPortsBothReport) {
    SerialDevice &adapter = attach(2, 3);
    SerialDevice &aterm = attach(30, 4);
    HostWindow &second = secondHost;
    openListening(0, host, 3, 2);
    openListening(1, second, 4, 30);
    adapter.placeCall(number("0311112222"));
    aterm.placeCall(number("0633334444"));
    ASSERT_TRUE(host.waitForCount(1, kArrival));
    ASSERT_TRUE(second.waitForCount(1, kArrival));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"0311112222"});
    EXPECT_EQ(second.texts(), std::vector<std::string>{"0633334444"});
}

TEST_F(SerialLines, TheSamePortInBothSlotsGivesOne) {
    SerialDevice &device = attach(2, 3);
    comDir.link(5, device.slavePath());
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 3, 2), 0);
    EXPECT_EQ(OpenCommLineEx(1, host.window(), 3, 2), KALVIX3_ERR_PORT_OPEN);
    EXPECT_EQ(OpenCommLineEx(1, host.window(), 5, 2), KALVIX3_ERR_PORT_OPEN)
        << "the same device through another link";
    CloseCommLineEx(0);
    EXPECT_EQ(OpenCommLineEx(1, host.window(), 5, 2), 0) << "free again once closed";
}

// A failed open keeps its reason for the host; the result code stays 1 whatever the reason.
TEST_F(SerialLines, AFailedOpenSaysWhyThePortWouldNotOpen) {
    SerialDevice &device = attach(2, 3);
    std::string plain = comDir.path() + "/plain";
    { std::ofstream(plain) << "not a terminal"; }
    comDir.link(6, plain);
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 3, 2), 0);
    struct Case {
        int32_t port;
        int32_t reason;
        int32_t systemError;
        std::string path;
    } cases[] = {
        {3, KALVIX3_OPEN_LOCKED, EBUSY, device.slavePath()}, // held by slot 0
        {8, KALVIX3_OPEN_NO_DEVICE, ENOENT, comDir.path() + "/COM8"},
        {6, KALVIX3_OPEN_NOT_A_TERMINAL, ENOTTY, ""},
        {12, KALVIX3_OPEN_NO_DEVICE, 0, "COM12"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(OpenCommLineEx(1, host.window(), c.port, 2), KALVIX3_ERR_PORT_OPEN);
        int32_t systemError = -1;
        char path[64] = {};
        EXPECT_EQ(Kalvix3GetLastOpenError(1, &systemError, path, sizeof path), c.reason)
            << "COM" << c.port;
        EXPECT_EQ(systemError, c.systemError) << "COM" << c.port;
        if (!c.path.empty())
            EXPECT_EQ(std::string(path), c.path) << "COM" << c.port;
    }
    char cut[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(Kalvix3GetLastOpenError(1, nullptr, cut, sizeof cut), KALVIX3_OPEN_NO_DEVICE);
    EXPECT_STREQ(cut, "COM") << "cut to the room given, terminated";
    CloseCommLineEx(0);
    ASSERT_EQ(OpenCommLineEx(1, host.window(), 3, 2), 0);
    EXPECT_EQ(Kalvix3GetLastOpenError(1, nullptr, nullptr, 0), KALVIX3_OPEN_NO_FAILURE);
    EXPECT_EQ(Kalvix3GetLastOpenError(2, nullptr, nullptr, 0), KALVIX3_ERR_ARGUMENT);
    std::remove(plain.c_str());
}

// ---- Closing -------------------------------------------------------------------------------

class Closing : public SerialLines, public ::testing::WithParamInterface<int> {};

TEST_P(Closing, EndsTheThreadWithin200ms) {
    int kind = GetParam();
    attach(kind, 3);
    auto log = openListening(0, host, 3, kind);
    auto start = Clock::now();
    EXPECT_EQ(CloseCommLineEx(0), 1);
    EXPECT_LT(Clock::now() - start, scaled(200ms));
    EXPECT_FALSE(log->isOpen());
    EXPECT_FALSE(kalvix3::lineSlot(0)->isOpen());
}
INSTANTIATE_TEST_SUITE_P(Integration, Closing, ::testing::Values(2, 3, 5, 14, 17, 30, 50));

TEST_F(SerialLines, ClosingDuringTheInitialisationPauseIsPrompt) {
    attach(50, 3);
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 3, 50), 0);
    auto start = Clock::now();
    CloseCommLineEx(0);
    EXPECT_LT(Clock::now() - start, scaled(200ms));
}

TEST_F(SerialLines, ClosingWhileTheDeviceSendsIsClean) {
    SerialDevice &device = attach(30, 3);
    openListening(0, host, 3, 30);
    std::string stream;
    for (int i = 0; i < 200; ++i)
        stream += "\r\nANALOG 03" + std::to_string(10000000 + i) + "\r\n";
    device.sendRaw(stream, Pacing{16, 2ms});
    ASSERT_TRUE(host.waitForCount(1, kArrival));
    auto start = Clock::now();
    CloseCommLineEx(0);
    EXPECT_LT(Clock::now() - start, scaled(200ms));
    EXPECT_FALSE(observed.log("COM3")->isOpen());
}

TEST_F(SerialLines, ClosingWhileTheHostHandlesANotificationDoesNotDeadlock) {
    SerialDevice &device = attach(14, 3);
    openListening(0, host, 3, 14);
    std::atomic<bool> entered{false};
    host.onMessage([&](const kalvix3::testing::ReceivedMessage &) {
        entered = true;
        std::this_thread::sleep_for(300ms); // the host is busy with the call
    });
    device.placeCall(number("0312345678"));
    auto deadline = Clock::now() + kArrival;
    while (!entered && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(entered);
    auto start = Clock::now();
    CloseCommLineEx(0);
    EXPECT_LT(Clock::now() - start, 300ms + scaled(500ms));
    EXPECT_FALSE(kalvix3::lineSlot(0)->isOpen());
    EXPECT_EQ(host.count(), 1u);
}

// ---- Faults ------------------------------------------------------------------------------

class VanishingDevice : public SerialLines, public ::testing::WithParamInterface<int> {};

TEST_P(VanishingDevice, IsReportedOnceAndTheThreadEndsWithoutSpinning) {
    int kind = GetParam();
    SerialDevice &device = attach(kind, 3);
    auto log = openListening(0, host, 3, kind);
    device.vanish();
    ASSERT_TRUE(host.waitForCount(1, kArrival));
    auto message = host.messages()[0];
    EXPECT_EQ(message.message, static_cast<uint32_t>(KALVIX3_LINE_ERROR_MESSAGE));
    EXPECT_EQ(message.dwData, 7u) << "I/O error";
    kalvix3::TRecvThread *thread = kalvix3::serialThreadOf(*kalvix3::lineSlot(0));
    auto deadline = Clock::now() + kArrival;
    while (!thread->finished() && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(thread->finished());
    size_t waits = log->waitStarts() + log->waitChecks();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log->waitStarts() + log->waitChecks(), waits) << "nothing waits any more";
    EXPECT_LE(waits, 12u);
    auto start = Clock::now();
    CloseCommLineEx(0);
    EXPECT_LT(Clock::now() - start, scaled(200ms));
    EXPECT_EQ(host.count(), 1u);
}
INSTANTIATE_TEST_SUITE_P(Integration, VanishingDevice, ::testing::Values(2, 14, 30));

struct DamageCase {
    int kind;
    std::string damaged;
};

std::ostream &operator<<(std::ostream &out, const DamageCase &c) {
    bool zero = c.damaged.find('\0') != std::string::npos;
    return out << "kind " << c.kind << (zero ? " with a zero byte" : " with noise");
}

class DamagedCalls : public SerialLines, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedCalls, CostOnlyTheCallTheyLandIn) {
    const DamageCase &c = GetParam();
    SerialDevice &device = attach(c.kind, 3);
    auto log = openListening(0, host, 3, c.kind);
    auto sentAt = Clock::now();
    device.sendRaw(c.damaged); // one write: it arrives in one piece
    // Whatever the damaged call gave, the line deals with it and listens again.
    ASSERT_TRUE(log->waitUntilHandledSince(sentAt, kArrival));
    size_t before = host.count();
    device.placeCall(number("0398765432"));
    ASSERT_TRUE(host.waitForCount(before + 1, kArrival));
    EXPECT_EQ(host.texts().back(), "0398765432");
    EXPECT_LE(before, 1u);
}

const DamageCase kDamage[] = {
    {14, std::string("RI\0NG   0312345678\r\n", 20)},
    {14, "RING   03" + kalvix3::sim::lineNoise(30, 7) + "\r\n"},
    {30, std::string("\r\nANALOG 03\0" "12345678\r\n", 21)},
    {30, "\r\nANA" + kalvix3::sim::lineNoise(40, 3) + "LOG 0312345678\r\n"},
    {50, "RING   031" + kalvix3::sim::lineNoise(25, 11) + "\r\n"},
    {5, "\r\nCID:03" + std::string(1, '\0') + "12:1\r\nFSKEND\r\n"},
};
INSTANTIATE_TEST_SUITE_P(Integration, DamagedCalls, ::testing::ValuesIn(kDamage));

TEST_F(SerialLines, NoiseBetweenCallsCostsNothing) {
    SerialDevice &device = attach(30, 3);
    openListening(0, host, 3, 30);
    device.injectNoise(250, 5);
    device.placeCall(number("0312345678"));
    ASSERT_TRUE(host.waitForCount(1, kArrival));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"0312345678"});
}

} // namespace
