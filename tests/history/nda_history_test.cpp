// NDA-P1 history: the line is taken down, the port handed to NDA_P1.dll (the stand-in), and the
// line opened again afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "kalvix3.h"
#include "main/lines.h"
#include "main/serial_line.h"
#include "platform/module.h"
#include "recv/recv_thread.h"
#include "support/host_window.h"
#include "support/scripted_port.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::testing::HostWindow;
using kalvix3::testing::ScriptedPorts;
namespace fs = std::filesystem;

namespace {

const char WITHHELD[] = "\xcb\xc2\xb3\xc1";
const char OUT_OF_AREA[] = "\xcb\xae\xb3\xbc\xde\xb9\xdd\xb6\xde\xb2";
const char PUBLIC_PHONE[] = "\xba\xb3\xbc\xad\xb3\xc3\xde\xdd\xdc";

// Runs in a temporary current directory that holds NDA_P1.dll (or not), with COM3 a plain file
// the stand-in can open and lock.
class NdaHistory : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        directory = fs::temp_directory_path() / ("kalvix3-nda-" + std::to_string(getpid()));
        fs::create_directories(directory);
        std::ofstream(directory / "COM3").put('\0');
        setenv("KALVIX3_COM_DIR", directory.c_str(), 1);
        fs::current_path(directory);
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 3, 3), 0);
    }
    void TearDown() override {
        CloseCommLineEx(0);
        script = platform::Module();
        fs::current_path(previous);
        unsetenv("KALVIX3_COM_DIR");
        fs::remove_all(directory);
    }
    void installLibrary() {
        fs::copy_file(KALVIX3_SIM_NDA_PATH, directory / "NDA_P1.dll");
        script = platform::Module::load((directory / "NDA_P1.dll").string());
        ASSERT_TRUE(script);
        call<void (*)()>("SimNda_Reset")();
    }
    template <typename F> F call(const char *name) {
        F entry = script.entry<F>(name);
        EXPECT_NE(entry, nullptr) << name;
        return entry;
    }
    void addEntry(const char *number, int month = 3, int day = 15, int hour = 10, int minute = 42) {
        call<void (*)(const char *, int, int, int, int)>("SimNda_AddEntry")(number, month, day,
                                                                             hour, minute);
    }
    int calls(const char *entry) { return call<int (*)(const char *)>("SimNda_Calls")(entry); }
    TRecvThread *lineThread() { return serialThreadOf(*lineSlot(0)); }

    fs::path previous, directory;
    ScriptedPorts ports;
    HostWindow host;
    platform::Module script;
};

TEST_F(NdaHistory, MissingLibraryLeavesTheLineRunning) {
    TRecvThread *before = lineThread();
    HistoryRecord records[10] = {};
    int32_t count = 10;
    EXPECT_EQ(GetHistoryEx(0, &count, records), KALVIX3_HISTORY_FAILED);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(lineThread(), before);
    EXPECT_TRUE(ports.device("COM3")->isOpen());
}

TEST_F(NdaHistory, EntriesBecomeRecordsInPlace) {
    installLibrary();
    addEntry(WITHHELD);
    addEntry("0312345678");
    addEntry("03123456"); // eight digits: passed over
    addEntry(OUT_OF_AREA, 12, 31, 23, 59);
    addEntry(PUBLIC_PHONE);
    HistoryRecord records[10];
    std::memset(records, 0, sizeof records);
    int32_t count = 10;
    ASSERT_EQ(GetHistoryEx(0, &count, records), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(records[0].number[0], 'P');
    EXPECT_EQ(records[0].number[1], '\0');
    EXPECT_EQ(std::string(records[1].number, 10), "0312345678");
    EXPECT_EQ(records[2].number[0], '\0');
    EXPECT_EQ(records[3].number[0], 'O');
    EXPECT_EQ(std::string(records[3].date + 4, 4), "1231");
    EXPECT_EQ(std::string(records[3].time, 6), "235900");
    EXPECT_EQ(records[4].number[0], 'C');
    // The settings record and the port handed over; the line came back with a new thread.
    EXPECT_STREQ(call<const char *(*)()>("SimNda_LastPort")(), "COM3");
    const uint8_t *settings = call<const uint8_t *(*)()>("SimNda_LastSettings")();
    const uint8_t expected[11] = {0, 0, 0, 0, 0xC0, 0x12, 0, 0, 8, 1, 0};
    EXPECT_EQ(std::memcmp(settings, expected, 11), 0);
    EXPECT_EQ(calls("NDA_Exit"), 1);
    ASSERT_NE(lineThread(), nullptr);
    EXPECT_EQ(lineSlot(0)->line->kindRow().kind(), 3);
    EXPECT_TRUE(ports.device("COM3")->isOpen());
}

TEST_F(NdaHistory, TakeDownOrderAndReopen) {
    installLibrary();
    addEntry("0312345678");
    auto device = ports.device("COM3");
    device->clearRecord();
    HistoryRecord records[10] = {};
    int32_t count = 10;
    ASSERT_EQ(GetHistoryEx(0, &count, records), 0);
    std::vector<std::string> calls = device->calls();
    std::vector<std::string> expected = {"setMask", "escape", "purge", "close", "open"};
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 5), expected);
    EXPECT_EQ(device->escapes()[0], platform::CLRDTR);
    EXPECT_EQ(device->escapes().back(), platform::SETDTR); // raised again by the reopen
}

TEST_F(NdaHistory, FailuresReopenTheLine) {
    struct Case {
        const char *fail;
        int exits;
    };
    for (Case c : {Case{"SimNda_FailInit", 0}, Case{"SimNda_FailHistory", 1}}) {
        installLibrary();
        call<void (*)(int)>(c.fail)(1);
        HistoryRecord records[3] = {};
        int32_t count = 3;
        EXPECT_EQ(GetHistoryEx(0, &count, records), KALVIX3_HISTORY_FAILED) << c.fail;
        EXPECT_EQ(count, 3);
        EXPECT_EQ(calls("NDA_Exit"), c.exits);
        ASSERT_NE(lineThread(), nullptr);
        EXPECT_TRUE(ports.device("COM3")->isOpen());
        script = platform::Module();
        fs::remove(directory / "NDA_P1.dll");
    }
}

TEST_F(NdaHistory, ShortBuffersGetOnlyTheRecordsTheyHaveRoomFor) {
    installLibrary();
    for (int i = 0; i < 10; ++i)
        addEntry("0312345678");
    for (int32_t room : {1, 2, 5}) {
        std::vector<HistoryRecord> records(static_cast<size_t>(room) + 2);
        std::memset(records.data(), 0xA5, records.size() * sizeof(HistoryRecord));
        int32_t count = room;
        ASSERT_EQ(GetHistoryEx(0, &count, records.data()), 0);
        EXPECT_EQ(count, room);
        const auto *beyond = reinterpret_cast<const uint8_t *>(records.data() + room);
        for (size_t i = 0; i < 2 * sizeof(HistoryRecord); ++i)
            ASSERT_EQ(beyond[i], 0xA5) << "room for " << room;
    }
}

TEST_F(NdaHistory, CountAboveTenReadsTen) {
    installLibrary();
    for (int i = 0; i < 10; ++i)
        addEntry("0312345678");
    std::vector<HistoryRecord> records(40);
    int32_t count = 40;
    ASSERT_EQ(GetHistoryEx(0, &count, records.data()), 0);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(records[10].number[0], '\0');
}

} // namespace
