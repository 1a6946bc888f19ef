// The device end of a line vanishes (an adapter unplugged: the pseudo-terminal's master side
// closes) in the middle of a frame, while the host handles a notification, or while it reads
// the history. The line reports it once (I/O error, code 7) and goes quiet without spinning;
// history and dialing on the dead line return at once; closing is prompt and leaves no thread
// or descriptor behind.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "kalvix3.h"
#include "kalvix3_sim/serial_device.h"
#include "support/line_fixture.h"
#include "main/lines.h"
#include "main/serial_line.h"
#include "receiver_rig.h"
#include "recv/recv_thread.h"
#include "support/process_stats.h"

using namespace std::chrono_literals;
using namespace kalvix3::testing;
using kalvix3::sim::SerialDevice;
using Clock = std::chrono::steady_clock;

namespace {

enum class InFlight { HalfAFrame, Notification, HistoryRead };

struct VanishCase {
    const char *name;
    int32_t kind;
    InFlight when;
};

std::ostream &operator<<(std::ostream &out, const VanishCase &c) { return out << c.name; }

class VanishingDevice : public ::testing::TestWithParam<VanishCase> {
protected:
    ComDirectory comDir;
    ObservedPorts observed;
    HostWindow host;
};

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST_P(VanishingDevice, ReportsOnceGoesQuietAndClosesCleanly) {
    const VanishCase c = GetParam();
    ProcessStats before = settledProcessStats();
    {
        std::unique_ptr<SerialDevice> device = SerialDevice::start(c.kind);
        comDir.link(3, device->slavePath());
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 3, c.kind), 0);
        auto log = observed.log("COM3");
        ASSERT_TRUE(log->waitUntilListening(scaled(5s)));
        std::string report = reportOf(c.kind, freshNumber());

        std::atomic<bool> entered{false}; // lives until the line is closed
        std::future<int32_t> history;
        HistoryRecord records[30] = {};
        int32_t count = 30;
        switch (c.when) {
        case InFlight::HalfAFrame: {
            auto sentAt = PortLog::Clock::now();
            device->sendRaw(report.substr(0, report.size() / 4));
            ASSERT_TRUE(log->waitUntilHandledSince(sentAt, scaled(5s))) << "the first bytes were read";
            device->vanish();
            break;
        }
        case InFlight::Notification: {
            host.onMessage([&](const ReceivedMessage &m) {
                if (m.message != KALVIX3_CALLER_NUMBER_MESSAGE)
                    return;
                entered = true;
                std::this_thread::sleep_for(200ms);
            });
            device->sendRaw(report);
            ASSERT_TRUE(waitFor([&] { return entered.load(); }, scaled(5s)));
            device->vanish(); // while the window procedure still runs
            break;
        }
        case InFlight::HistoryRead: {
            device->setHistory({{"0315", "1042", "0311112222"}, {"0316", "1043", "0333334444"},
                                {"0317", "1044", "0355556666"}});
            history = std::async(std::launch::async,
                                 [&] { return GetHistoryEx(0, &count, records); });
            ASSERT_TRUE(device->waitForReceived("\x02M02", scaled(5s)));
            device->vanish();
            break;
        }
        }
        if (history.valid()) {
            ASSERT_EQ(history.wait_for(scaled(2s)), std::future_status::ready) << "the read ends";
            EXPECT_EQ(history.get(), 0);
            EXPECT_GE(count, 1);
            EXPECT_LE(count, 2);
        }

        // Reported once, as an I/O error, and the receive thread ends by itself.
        kalvix3::TRecvThread *thread = kalvix3::serialThreadOf(*kalvix3::lineSlot(0));
        ASSERT_TRUE(waitFor([&] { return thread->finished(); }, scaled(3s)));
        auto messages = host.messages();
        size_t errors = 0;
        for (const ReceivedMessage &m : messages) {
            if (m.message == KALVIX3_LINE_ERROR_MESSAGE) {
                ++errors;
                EXPECT_EQ(m.dwData, 7u);
            }
        }
        EXPECT_LE(errors, 1u);
        if (c.when != InFlight::Notification)
            EXPECT_EQ(messages.size(), errors) << "half a frame gives no call";

        // Quiet: nothing waits or spins any more.
        size_t waits = log->waitStarts() + log->waitChecks();
        double cpuBefore = processCpuMs();
        std::this_thread::sleep_for(500ms);
        double cpuUsed = processCpuMs() - cpuBefore;
        EXPECT_LT(cpuUsed, 50.0 * slowdown()) << "CPU time over half a second of a dead line";
        EXPECT_EQ(log->waitStarts() + log->waitChecks(), waits);
        RecordProperty("cpu_ms_in_500ms", std::to_string(cpuUsed));

        // History and dialing on the dead line return at once (the ALEXON dial takes 100 ms);
        // closing is prompt.
        auto start = Clock::now();
        int32_t again = 3;
        GetHistoryEx(0, &again, records);
        if (c.kind == 14)
            KalvixDialEx(0, 1, "0312345678");
        EXPECT_LT(Clock::now() - start, scaled(1s));
        start = Clock::now();
        EXPECT_EQ(CloseCommLineEx(0), 1);
        EXPECT_LT(Clock::now() - start, scaled(300ms));
        EXPECT_FALSE(log->isOpen());
        EXPECT_EQ(host.count(), messages.size()) << "nothing after the close";
    }
    ProcessStats after = processStatsBackTo(before);
    EXPECT_LE(after.threads, before.threads) << describe(after);
    EXPECT_LE(after.descriptors, before.descriptors) << describe(after);
}

const VanishCase kVanishing[] = {
    {"NumberDisplayHalfAFrame", 2, InFlight::HalfAFrame},
    {"AlexonHalfAFrame", 14, InFlight::HalfAFrame},
    {"AtermHalfAFrame", 30, InFlight::HalfAFrame},
    {"Mn128HalfAFrame", 50, InFlight::HalfAFrame},
    {"FskBoxHalfAFrame", 5, InFlight::HalfAFrame},
    {"AlexonDuringANotification", 14, InFlight::Notification},
    {"NumberDisplayDuringANotification", 2, InFlight::Notification},
    {"NumberDisplayDuringAHistoryRead", 2, InFlight::HistoryRead},
};
INSTANTIATE_TEST_SUITE_P(Cases, VanishingDevice, ::testing::ValuesIn(kVanishing),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
