// What the device simulators promise the code that talks to them: history answers, reports
// repeated until acknowledged, AT commands answered and recorded. Talked to through the POSIX
// port, as the library does.
#include <gtest/gtest.h>

#include "kalvix3_sim/serial_device.h"
#include "platform/serial_port.h"
#include "support/line_fixture.h"
#include "support/time_bounds.h"

using namespace kalvix3::platform;
using namespace std::chrono_literals;
using kalvix3::sim::Call;
using kalvix3::sim::Family;
using kalvix3::sim::SerialDevice;
using kalvix3::testing::ComDirectory;
using Clock = std::chrono::steady_clock;
using kalvix3::testing::scaled;

namespace {

class DeviceSim : public ::testing::Test {
protected:
    void start(int kind) {
        device = SerialDevice::start(kind);
        comDir.link(3, device->slavePath());
        port = openSystemSerialPort("COM3").port;
        ASSERT_TRUE(port);
        port->setMask(EV_RXCHAR);
    }
    void send(const std::string &bytes) {
        ASSERT_EQ(port->write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
    }
    // What arrives within `limit`, stopping early once `expected` bytes are there.
    std::string receive(size_t expected, std::chrono::milliseconds limit) {
        std::string got;
        auto deadline = Clock::now() + limit;
        while (got.size() < expected && Clock::now() < deadline) {
            WaitStart start = port->waitCommEvent();
            if (start == WaitStart::Pending && !port->awaitCommEvent(20))
                continue;
            char chunk[256];
            got.append(chunk, port->read(chunk, sizeof chunk));
        }
        return got;
    }

    ComDirectory comDir;
    std::unique_ptr<SerialDevice> device;
    std::unique_ptr<SerialPort> port;
};

TEST_F(DeviceSim, NumberDisplayAdapterAnswersHistoryRequestsFromItsStore) {
    start(2);
    device->setHistory({{"0101", "0909", "0311112222"}, {"1231", "2359", "P"}});
    Call second = Call::of(kalvix3::sim::CallerKind::Withheld);
    second.monthDay = "1231";
    second.hourMinute = "2359";
    std::string frame = kalvix3::sim::callerReport(Family::NumberDisplay, second);
    send("\x02M02\x03\r\n");
    EXPECT_EQ(receive(frame.size(), scaled(2s)), frame);
    send("\x02M03\x03\r\n");
    EXPECT_EQ(receive(1, 300ms), "") << "no third entry: silence";
    EXPECT_EQ(device->sent().size(), 1u);
}

TEST_F(DeviceSim, NumberDisplayReportRepeatsUntilAcknowledged) {
    start(2);
    std::string frame = kalvix3::sim::callerReport(Family::NumberDisplay, Call::withNumber("0312345678"));
    ASSERT_EQ(frame.size(), 31u);
    EXPECT_EQ(frame, "\x02" "0315 1042" "0312345678          \x03");
    device->placeCall(Call::withNumber("0312345678"));
    EXPECT_EQ(receive(2 * frame.size(), scaled(2s)), frame + frame) << "ETX is followed by the next STX";
    send("\x06\r\n");
    ASSERT_TRUE(device->waitForReceived("\x06\r\n", scaled(2s)));
    EXPECT_TRUE(device->waitUntilSent(scaled(100ms))) << "nothing more is scheduled";
    EXPECT_LT(device->sent().size(), 6u);
    EXPECT_EQ(device->acknowledgements(), 1u);
}

TEST_F(DeviceSim, AnUnacknowledgedReportStopsAfterSixCopies) {
    start(4);
    device->placeCall(Call::withNumber("0312345678"));
    ASSERT_TRUE(device->waitUntilSent(scaled(5s)));
    EXPECT_EQ(device->sent().size(), 6u);
}

struct CommandCase {
    int kind;
    const char *command;
    const char *answer;
};

std::ostream &operator<<(std::ostream &out, const CommandCase &c) {
    return out << "kind " << c.kind;
}

class DeviceSimCommands : public DeviceSim, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(DeviceSimCommands, AreAnsweredAndRecorded) {
    const CommandCase &c = GetParam();
    start(c.kind);
    send(c.command);
    std::string answer = c.answer;
    EXPECT_EQ(receive(answer.size(), scaled(2s)), answer);
    EXPECT_EQ(receive(1, 150ms), "") << "and nothing more";
    EXPECT_EQ(device->receivedBytes(), c.command);
    ASSERT_FALSE(device->received().empty());
}

const CommandCase kCommands[] = {
    {15, "AT\\D1/0312345678\r\n", "OK\r\n"},
    {17, "AT!D1;0312345678\r\n", "\r\nOK\r\n"},
    {30, "AT$A16=1\r\n", "\r\nOK\r\n"},
    {50, "AT!T2\r\nATD0312345678;1\r\n", "OK\r\nOK\r\n"},
    {50, "at#h1\r", "OK\r\n"},
    {5, "AT\r\n", ""},
    {3, "AT\r\n", ""},
};
INSTANTIATE_TEST_SUITE_P(Integration, DeviceSimCommands, ::testing::ValuesIn(kCommands),
                         [](const auto &info) { return "kind" + std::to_string(info.param.kind) + "_" + std::to_string(info.index); });

} // namespace
