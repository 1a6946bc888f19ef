// Hostile host arguments: every export with slots, ports, kinds, counts and pointers it must
// survive without touching memory it was not given. The rows that need a USB line or the
// NDA-P1's library run where their stand-ins are: tests/usb/bad_input_usb_test.cpp,
// tests/history/nda_history_test.cpp, and tests/faults/bad_dial_ports_test.cpp (the dials of
// the terminal adapters that take five seconds each).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "kalvix3.h"
#include "main/lines.h"
#include "main/kinds.h"
#include "recv/init_sequences.h"
#include "support/host_window.h"
#include "support/scripted_port.h"
#include "support/time_bounds.h"

using namespace std::chrono_literals;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ScriptedPorts;
using kalvix3::testing::scaled;

namespace {

constexpr uint8_t kGuard = 0xA5;

TEST(BadInput, ShortKindArraysAreNotOverrun) {
    struct Case {
        int32_t selector;
        int32_t count;
        int32_t filled;
    };
    const Case cases[] = {{1, 1, 1}, {1, 10, 10}, {1, 45, 45}, {1, 46, 46}, {1, 100, 46},
                          {0, 43, 43}, {0, 44, 44}, {2, 46, 44}, {1, -1, 46}};
    for (const Case &c : cases) {
        std::vector<uint8_t> memory(sizeof(KindInfo) * 47, kGuard);
        int32_t count = c.count;
        GetKinds2(c.selector, &count, reinterpret_cast<KindInfo *>(memory.data()));
        EXPECT_EQ(count, c.count);
        size_t written = sizeof(KindInfo) * static_cast<size_t>(c.filled);
        EXPECT_NE(memory[written - sizeof(KindInfo)], kGuard) << c.count;
        for (size_t i = written; i < memory.size(); ++i)
            ASSERT_EQ(memory[i], kGuard) << "selector " << c.selector << " count " << c.count;
    }
}

TEST(BadInput, EveryExportWithSlotsOutsideTheTable) {
    HostWindow host;
    const int32_t slots[] = {-1, 2, 3, 255, 65536, INT32_MIN, INT32_MAX};
    for (int32_t slot : slots) {
        EXPECT_EQ(OpenCommLineEx(slot, host.window(), 1, 2), KALVIX3_ERR_ARGUMENT) << slot;
        EXPECT_EQ(OpenCommLineEx(slot, host.window(), 1, 32), KALVIX3_ERR_ARGUMENT) << slot;
        EXPECT_EQ(CloseCommLineEx(slot), 1);
        HistoryRecord records[3];
        std::memset(records, kGuard, sizeof records);
        int32_t count = 3;
        EXPECT_EQ(GetHistoryEx(slot, &count, records), KALVIX3_ERR_ARGUMENT);
        EXPECT_EQ(count, 3);
        EXPECT_EQ(reinterpret_cast<uint8_t *>(records)[0], kGuard);
        KalvixDialEx(slot, 1, "0312345678");
        KalvixDialEx(slot, 1, nullptr);
    }
}

TEST(BadInput, UsbKindsWithSlotsOutsideTheTable) {
    HostWindow host;
    const int32_t usbKinds[] = {32, 34, 36, 38, 40, 42};
    const int32_t slots[] = {-1, 2, 255, INT32_MIN, INT32_MAX};
    for (int32_t kind : usbKinds) {
        for (int32_t slot : slots) {
            EXPECT_EQ(OpenCommLineEx(slot, host.window(), 0, kind), KALVIX3_ERR_ARGUMENT)
                << "kind " << kind << " slot " << slot;
            HistoryRecord records[2];
            std::memset(records, kGuard, sizeof records);
            int32_t count = 2;
            EXPECT_EQ(GetHistoryEx(slot, &count, records), KALVIX3_ERR_ARGUMENT);
            EXPECT_EQ(count, 2);
            EXPECT_EQ(reinterpret_cast<uint8_t *>(records)[0], kGuard);
            KalvixDialEx(slot, 1, "0312345678");
            EXPECT_EQ(CloseCommLineEx(slot), 1);
        }
    }
    EXPECT_EQ(host.count(), 0u);
}

TEST(BadInput, PortsKindsAndWindows) {
    ScriptedPorts ports;
    struct Case {
        int32_t port;
        int32_t kind;
        Kalvix3Window window;
        int32_t result;
    };
    HostWindow host;
    const Case cases[] = {
        {0, 2, host.window(), KALVIX3_ERR_PORT_OPEN},   {10, 2, host.window(), KALVIX3_ERR_PORT_OPEN},
        {-1, 14, host.window(), KALVIX3_ERR_PORT_OPEN}, {INT32_MAX, 50, nullptr, KALVIX3_ERR_PORT_OPEN},
        {3, INT32_MIN, host.window(), KALVIX3_ERR_KIND}, {3, INT32_MAX, nullptr, KALVIX3_ERR_KIND},
        {3, 2, nullptr, KALVIX3_OK}, // no window: notifications are dropped
    };
    for (const Case &c : cases) {
        EXPECT_EQ(OpenCommLineEx(0, c.window, c.port, c.kind), c.result)
            << "port " << c.port << " kind " << c.kind;
        CloseCommLineEx(0);
    }
}

TEST(BadInput, HistoryCountsAndBuffers) {
    struct Case {
        int32_t *count;
        HistoryRecord *records;
        int32_t result;
    };
    int32_t negative = -5, minimum = INT32_MIN, some = 4, none = 0;
    HistoryRecord records[4] = {};
    const Case cases[] = {
        {nullptr, records, KALVIX3_ERR_ARGUMENT}, {&negative, records, KALVIX3_ERR_ARGUMENT},
        {&minimum, records, KALVIX3_ERR_ARGUMENT}, {&some, nullptr, KALVIX3_ERR_ARGUMENT},
    };
    for (const Case &c : cases)
        EXPECT_EQ(GetHistoryEx(1, c.count, c.records), c.result);
    EXPECT_NE(GetHistoryEx(1, &none, nullptr), KALVIX3_ERR_ARGUMENT); // nothing asked, nothing to write
}

TEST(BadInput, NumbersToDial) {
    ScriptedPorts ports;
    HostWindow host;
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 6, 15), 0);
    auto device = ports.device("COM6");
    device->waitUntil([&] { return device->writes().size() == 3 && device->waitPending(); },
                      scaled(std::chrono::seconds(2)));
    device->clearRecord();
    const std::string veryLong(100000, '9');
    struct Case {
        const char *number;
        const char *sent;
    };
    const Case cases[] = {
        {veryLong.c_str(), ""},
        {"\xff\xfe\x80\x81 garbage \x01\x02", "AT\\D1/\r\n"},
        {"0120-(444)-555 #7", "AT\\D1/01204445557\r\n"},
    };
    for (const Case &c : cases) {
        device->clearRecord();
        KalvixDialEx(0, 1, c.number);
        EXPECT_EQ(device->written(), c.sent);
    }
    device->clearRecord();
    KalvixDialEx(0, INT32_MIN, "1");
    EXPECT_EQ(device->written(), "AT\\D-2147483648/1\r\n"); // sent as given, never overflowing
    CloseCommLineEx(0);
}

// Every number-display kind reads its history with the serial reader: however many entries the
// device has, no record beyond *count is written.
TEST(BadInput, ShortHistoryBuffersOnTheSerialReader) {
    ScriptedPorts ports;
    HostWindow host;
    for (int32_t kind : {1, 2, 4, 7}) {
        ASSERT_EQ(OpenCommLineEx(1, host.window(), 4, kind), 0);
        auto device = ports.device("COM4");
        ASSERT_TRUE(device->waitUntil([&] { return device->waitPending(); }, scaled(2s)));
        device->onWrite([device](const std::string &bytes) {
            if (bytes.size() == 7 && bytes[0] == '\x02' && bytes[1] == 'M')
                device->inject("\x02" "0315 1042" "0312345678          \x03");
        });
        for (int32_t room : {1, 2, 3}) {
            std::vector<HistoryRecord> records(static_cast<size_t>(room) + 2);
            std::memset(records.data(), kGuard, records.size() * sizeof(HistoryRecord));
            int32_t count = room;
            ASSERT_EQ(GetHistoryEx(1, &count, records.data()), 0) << "kind " << kind;
            EXPECT_EQ(count, room);
            const auto *bytes = reinterpret_cast<const uint8_t *>(records.data() + room);
            for (size_t i = 0; i < 2 * sizeof(HistoryRecord); ++i)
                ASSERT_EQ(bytes[i], kGuard) << "kind " << kind << ", room for " << room;
        }
        device->onWrite(nullptr);
        CloseCommLineEx(1);
    }
}

// The dialing kinds of the ALEXON and MN128 families send the telephone port as given, whatever
// its value; the command buffer never overflows.
TEST(BadInput, DialPortsOutsideOneToThreeOnTheSerialKinds) {
    ScriptedPorts ports;
    HostWindow host;
    struct Family {
        std::vector<int32_t> kinds;
        std::vector<int32_t> telPorts;
        std::string (*command)(int32_t telPort);
    };
    const std::vector<int32_t> outside = {0, 4, -1, INT32_MIN, INT32_MAX};
    const Family families[] = {
        {{14, 15, 19, 22, 23, 24, 25, 26, 27, 28, 29, 60}, outside,
         [](int32_t p) { return "AT\\D" + std::to_string(p) + "/0312345678901234567\r\n"; }},
        // Each MN128 dial takes five seconds: one port.
        {{50}, {INT32_MIN},
         [](int32_t p) { return "AT!T2\r\nATD0312345678901234567;" + std::to_string(p) + "\r\n"; }},
    };
    for (const Family &family : families) {
        for (int32_t kind : family.kinds) {
            auto device = ports.device("COM6");
            device->clearRecord();
            ASSERT_EQ(OpenCommLineEx(0, host.window(), 6, kind), 0);
            const kalvix3::InitSequence *init = kalvix3::initSequenceFor(kind);
            ASSERT_TRUE(device->waitUntil(
                [&] {
                    return device->writes().size() == static_cast<size_t>(init->commandCount) &&
                           device->waitPending();
                },
                scaled(3s)));
            for (int32_t telPort : family.telPorts) {
                device->clearRecord();
                KalvixDialEx(0, telPort, "0312345678901234567"); // the longest number
                EXPECT_EQ(device->written(), family.command(telPort))
                    << "kind " << kind << ", port " << telPort;
            }
            CloseCommLineEx(0);
        }
    }
}

} // namespace
