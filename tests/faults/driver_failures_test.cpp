// Every failure of the driver libraries reaches its documented result and leaves nothing
// behind: the USB adapters' ITUSB.DLL (missing, not loadable, entries missing, a device that
// does not open, refused reads) and the NDA-P1's NDA_P1.dll (missing, not loadable, entries
// missing, NDA_Init or NDA_GetHistoryData failing, the line not coming back). After each,
// history and dialing on the line call nothing, closing is prompt, and the threads and
// descriptors of the process are what they were before the line was opened.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

#include "itusb/records.h"
#include "kalvix3.h"
#include "main/lines.h"
#include "main/serial_line.h"
#include "main/usb_lines.h"
#include "platform/module.h"
#include "recv/recv_thread.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"
#include "stand_in.h"
#include "support/host_window.h"
#include "support/process_stats.h"
#include "support/scripted_port.h"

using namespace std::chrono_literals;
using namespace kalvix3::testing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 3; // each failure more than once: whatever leaks, grows

// ---- ITUSB.DLL -------------------------------------------------------------------------------

enum class Library { Missing, NotLoadable, Partial, Full };

struct UsbFailure {
    const char *name;
    int32_t kind;
    Library library;
    std::function<void(StandIn &)> arrange; // before the line opens
    int32_t openResult;
    uint32_t lineError; // 0: none
};

std::ostream &operator<<(std::ostream &out, const UsbFailure &c) { return out << c.name; }

class UsbDriverFailure : public ::testing::TestWithParam<UsbFailure> {};

bool bodyEnded(int32_t kind) {
    kalvix3::LineSlot &line = *kalvix3::lineSlot(0);
    if (kind == 32 || kind == 34)
        return kalvix3::usbThreadOf(line) && kalvix3::usbThreadOf(line)->finished();
    return kalvix3::itmuxThreadOf(line) && kalvix3::itmuxThreadOf(line)->finished();
}

TEST_P(UsbDriverFailure, ReachesItsResultAndLeavesNothingBehind) {
    const UsbFailure &c = GetParam();
    HostWindow host;
    std::unique_ptr<StandIn> sim;
    std::unique_ptr<TempDirectory> directory;
    switch (c.library) {
    case Library::Missing:
        directory = std::make_unique<TempDirectory>();
        directory->useAsSystemDirectory();
        break;
    case Library::NotLoadable:
        directory = std::make_unique<TempDirectory>();
        directory->writeFile("ITUSB.DLL", "not a shared object");
        directory->useAsSystemDirectory();
        break;
    case Library::Partial:
        sim = std::make_unique<StandIn>(KALVIX3_STAND_IN_ITUSB_PARTIAL);
        break;
    case Library::Full:
        sim = std::make_unique<StandIn>(KALVIX3_STAND_IN_ITUSB);
        break;
    }
    ProcessStats before = settledProcessStats();
    for (int round = 0; round < kRounds; ++round) {
        size_t seen = host.count();
        if (sim) {
            sim->reset();
            if (c.arrange)
                c.arrange(*sim);
        }
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, c.kind), c.openResult);
        if (c.openResult == KALVIX3_OK) {
            ASSERT_TRUE(waitUntil([&] { return bodyEnded(c.kind); }, scaled(5s))) << "round " << round;
            auto messages = host.messages();
            ASSERT_EQ(messages.size(), seen + 1) << "reported once";
            EXPECT_EQ(messages.back().message, static_cast<uint32_t>(KALVIX3_LINE_ERROR_MESSAGE));
            EXPECT_EQ(messages.back().dwData, c.lineError);
        } else {
            EXPECT_FALSE(kalvix3::lineSlot(0)->isOpen());
            EXPECT_EQ(host.count(), seen);
        }
        // Nothing is asked of a driver that is gone.
        int32_t calls = sim ? sim->calls(SIMUSB_EV_USB_CONTROL).size() +
                                  sim->callCount(SIMUSB_READ_BUFFER_REQUEST, 0) +
                                  sim->callCount(SIMUSB_CONTROL_TA, 0)
                            : 0;
        HistoryRecord records[10] = {};
        int32_t count = 10;
        EXPECT_EQ(GetHistoryEx(0, &count, records), KALVIX3_HISTORY_FAILED);
        EXPECT_EQ(count, 10);
        KalvixDialEx(0, 1, "0312345678");
        if (sim) {
            int32_t after = sim->calls(SIMUSB_EV_USB_CONTROL).size() +
                            sim->callCount(SIMUSB_READ_BUFFER_REQUEST, 0) +
                            sim->callCount(SIMUSB_CONTROL_TA, 0);
            EXPECT_EQ(after, calls);
            EXPECT_EQ(sim->badCalls(), 0);
        }
        auto start = Clock::now();
        EXPECT_EQ(CloseCommLineEx(0), 1);
        EXPECT_LT(Clock::now() - start, scaled(300ms));
        EXPECT_EQ(host.count(), seen + (c.openResult == KALVIX3_OK ? 1 : 0));
    }
    ProcessStats after = processStatsBackTo(before);
    EXPECT_LE(after.threads, before.threads) << describe(after);
    EXPECT_LE(after.descriptors, before.descriptors) << describe(after);
}

const UsbFailure kUsbFailures[] = {
    {"PolledNoDriverFile", 32, Library::Missing, nullptr, KALVIX3_ERR_USB_DRIVER, 0},
    {"ItmuxNoDriverFile", 40, Library::Missing, nullptr, KALVIX3_ERR_USB_DRIVER, 0},
    {"PolledNotLoadable", 34, Library::NotLoadable, nullptr, KALVIX3_OK, 311},
    {"ItmuxNotLoadable", 36, Library::NotLoadable, nullptr, KALVIX3_OK, 311},
    {"PolledEntryMissing", 32, Library::Partial, nullptr, KALVIX3_OK, 312},
    {"ItmuxEntryMissing", 42, Library::Partial, nullptr, KALVIX3_OK, 312},
    {"ItmuxDeviceDoesNotOpen", 38, Library::Full, [](StandIn &s) { s.failOpen(1); }, KALVIX3_OK,
     313},
    {"PolledBaselineRefusedTwice", 32, Library::Full,
     [](StandIn &s) { s.failControl(kalvix3::itusb::kCallerStatusCode, 2, 0, 0); }, KALVIX3_OK,
     313},
};
INSTANTIATE_TEST_SUITE_P(Rows, UsbDriverFailure, ::testing::ValuesIn(kUsbFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- NDA_P1.dll --------------------------------------------------------------------------------

enum class NdaLibrary { Missing, NotLoadable, NoEntries, OnlyInit, StandIn };
enum class LineAfter { Untouched, Reopened, Gone };

struct NdaFailure {
    const char *name;
    NdaLibrary library;
    const char *failing;  // SimNda_ control to set, or null
    bool reopenFails;     // the port refuses its settings when the line is opened again
    int32_t result;
    LineAfter line;
};

std::ostream &operator<<(std::ostream &out, const NdaFailure &c) { return out << c.name; }

// In a temporary current directory with NDA_P1.dll (or not) and COM3 to COM5 plain files that
// the stand-in can open; the line itself runs on a scripted port.
class NdaLibraryFailure : public ::testing::TestWithParam<NdaFailure> {
protected:
    void SetUp() override {
        previous = fs::current_path();
        directory = fs::temp_directory_path() / ("kalvix3-faults-nda-" + std::to_string(getpid()));
        fs::create_directories(directory);
        for (int port = 3; port < 3 + kRounds; ++port)
            std::ofstream(directory / ("COM" + std::to_string(port))).put('\0');
        setenv("KALVIX3_COM_DIR", directory.c_str(), 1);
        fs::current_path(directory);
    }
    void TearDown() override {
        CloseCommLineEx(0);
        script = kalvix3::platform::Module();
        fs::current_path(previous);
        unsetenv("KALVIX3_COM_DIR");
        fs::remove_all(directory);
    }
    void install(NdaLibrary library) {
        switch (library) {
        case NdaLibrary::Missing:
            return;
        case NdaLibrary::NotLoadable:
            std::ofstream(directory / "NDA_P1.dll") << "not a shared object";
            return;
        case NdaLibrary::NoEntries:
            fs::copy_file(KALVIX3_STAND_IN_ITUSB, directory / "NDA_P1.dll");
            return;
        case NdaLibrary::OnlyInit:
            fs::copy_file(KALVIX3_NDA_ONLY_INIT_PATH, directory / "NDA_P1.dll");
            break;
        case NdaLibrary::StandIn:
            fs::copy_file(KALVIX3_SIM_NDA_PATH, directory / "NDA_P1.dll");
            break;
        }
        script = kalvix3::platform::Module::load((directory / "NDA_P1.dll").string());
        ASSERT_TRUE(script);
        if (library == NdaLibrary::StandIn) {
            script.entry<void (*)()>("SimNda_Reset")();
            script.entry<void (*)(const char *, int, int, int, int)>("SimNda_AddEntry")(
                "0312345678", 3, 15, 10, 42);
        }
    }
    fs::path previous, directory;
    ScriptedPorts ports;
    HostWindow host;
    kalvix3::platform::Module script;
};

TEST_P(NdaLibraryFailure, ReachesItsResultAndLeavesNothingBehind) {
    const NdaFailure &c = GetParam();
    install(c.library);
    ProcessStats before = settledProcessStats();
    for (int round = 0; round < kRounds; ++round) {
        std::string portName = "COM" + std::to_string(3 + round); // a port refused stays refused
        auto device = ports.device(portName);
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 3 + round, 3), 0);
        kalvix3::TRecvThread *thread = kalvix3::serialThreadOf(*kalvix3::lineSlot(0));
        if (c.failing)
            script.entry<void (*)(int)>(c.failing)(1);
        if (c.reopenFails)
            device->failStep("setState");

        HistoryRecord records[10] = {};
        int32_t count = 10;
        EXPECT_EQ(GetHistoryEx(0, &count, records), c.result) << "round " << round;
        EXPECT_EQ(count, c.result == KALVIX3_OK ? 1 : 10);
        kalvix3::LineSlot &line = *kalvix3::lineSlot(0);
        switch (c.line) {
        case LineAfter::Untouched:
            EXPECT_EQ(kalvix3::serialThreadOf(line), thread);
            EXPECT_TRUE(device->isOpen());
            break;
        case LineAfter::Reopened:
            ASSERT_TRUE(kalvix3::serialThreadOf(line));
            EXPECT_EQ(line.line->kindRow().kind(), 3);
            EXPECT_TRUE(device->isOpen());
            break;
        case LineAfter::Gone:
            EXPECT_FALSE(line.isOpen());
            EXPECT_FALSE(device->isOpen());
            count = 10;
            EXPECT_EQ(GetHistoryEx(0, &count, records), KALVIX3_HISTORY_FAILED);
            break;
        }
        if (c.library == NdaLibrary::OnlyInit)
            EXPECT_EQ(script.entry<int (*)()>("NdaOnlyInit_Calls")(), 0);
        if (c.failing)
            script.entry<void (*)(int)>(c.failing)(0);
        auto start = Clock::now();
        EXPECT_EQ(CloseCommLineEx(0), 1);
        EXPECT_LT(Clock::now() - start, scaled(300ms));
        EXPECT_FALSE(device->isOpen());
    }
    EXPECT_EQ(host.count(), 0u);
    ProcessStats after = processStatsBackTo(before);
    EXPECT_LE(after.threads, before.threads) << describe(after);
    EXPECT_LE(after.descriptors, before.descriptors) << describe(after);
}

const NdaFailure kNdaFailures[] = {
    {"NoLibrary", NdaLibrary::Missing, nullptr, false, KALVIX3_HISTORY_FAILED, LineAfter::Untouched},
    {"NotLoadable", NdaLibrary::NotLoadable, nullptr, false, KALVIX3_HISTORY_FAILED,
     LineAfter::Untouched},
    {"NoEntries", NdaLibrary::NoEntries, nullptr, false, KALVIX3_HISTORY_FAILED,
     LineAfter::Untouched},
    {"OnlyInit", NdaLibrary::OnlyInit, nullptr, false, KALVIX3_HISTORY_FAILED,
     LineAfter::Untouched},
    {"InitFails", NdaLibrary::StandIn, "SimNda_FailInit", false, KALVIX3_HISTORY_FAILED,
     LineAfter::Reopened},
    {"HistoryFails", NdaLibrary::StandIn, "SimNda_FailHistory", false, KALVIX3_HISTORY_FAILED,
     LineAfter::Reopened},
    {"ReopenFails", NdaLibrary::StandIn, nullptr, true, KALVIX3_OK, LineAfter::Gone},
    {"InitFailsAndReopenFails", NdaLibrary::StandIn, "SimNda_FailInit", true,
     KALVIX3_HISTORY_FAILED, LineAfter::Gone},
};
INSTANTIATE_TEST_SUITE_P(Rows, NdaLibraryFailure, ::testing::ValuesIn(kNdaFailures),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
