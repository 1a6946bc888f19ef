// USB lines against the stand-in ITUSB.DLL: opening, the two receive threads, their failures,
// how promptly they close, and what history and dialing may do once a thread has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "itusb/records.h"
#include "kalvix3.h"
#include "main/lines.h"
#include "main/usb_access.h"
#include "recvitmux/recv_itmux_thread.h"
#include "recvusb/recv_usb_thread.h"
#include "support/line_fixture.h"
#include "support/time_bounds.h"

using namespace kalvix3;
using namespace std::chrono_literals;
using kalvix3::testing::HostWindow;
using kalvix3::testing::StandIn;
using kalvix3::testing::TempDirectory;
using kalvix3::testing::waitUntil;

namespace {

using Clock = std::chrono::steady_clock;
using kalvix3::testing::Bytes;

using UsbLine = kalvix3::testing::UsbLineTest;
using kalvix3::testing::scaled;

void expectOnlyLineError(const HostWindow &host, uint32_t code) {
    auto messages = host.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, static_cast<uint32_t>(KALVIX3_LINE_ERROR_MESSAGE));
    EXPECT_EQ(messages[0].dwData, code);
}

// ---- Opening ---------------------------------------------------------------------------------

TEST(UsbDriverFiles, NtNeedsOnlyTheDllOtherPlatformsAllFourInOrder) {
    struct Case {
        std::vector<const char *> present;
        uint32_t platformId;
        const char *missing;
    };
    const Case cases[] = {
        {{"ITUSB.DLL"}, 2, nullptr},
        {{}, 2, "\\ITUSB.DLL"},
        {{"ITUSB.DLL"}, 1, "\\ITUSB.SYS"},
        {{"ITUSB.DLL"}, 0, "\\ITUSB.SYS"}, // the version could not be read
        {{"ITUSB.DLL", "ITUSB.SYS", "ITPORT.VXD"}, 1, "\\ITSV1.VXD"},
        {{"ITUSB.DLL", "ITSV1.VXD"}, 1, "\\ITUSB.SYS"},
        {{"ITUSB.SYS", "ITPORT.VXD", "ITSV1.VXD"}, 1, "\\ITUSB.DLL"},
        {{"ITUSB.DLL", "ITUSB.SYS", "ITPORT.VXD", "ITSV1.VXD"}, 1, nullptr},
    };
    for (const Case &c : cases) {
        TempDirectory directory;
        for (const char *name : c.present)
            directory.writeFile(name, "x");
        const char *missing = missingDriverFile(directory.path(), c.platformId);
        if (c.missing == nullptr)
            EXPECT_EQ(missing, nullptr) << c.present.size() << " files, platform " << c.platformId;
        else
            EXPECT_STREQ(missing, c.missing) << c.present.size() << " files";
    }
}

TEST(UsbDriverFiles, ADirectoryOfTheNameIsNotTheFile) {
    TempDirectory directory;
    directory.makeDirectory("ITUSB.DLL");
    EXPECT_STREQ(missingDriverFile(directory.path(), 2), "\\ITUSB.DLL");
}

TEST_F(UsbLine, OpensEveryUsbKindWithAnyPortNumber) {
    useStandIn();
    for (int32_t kind : {32, 34, 36, 38, 40, 42}) {
        ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, kind), KALVIX3_OK) << kind;
        EXPECT_EQ(lineSlot(0)->kind, kind);
        bool polled = kind == 32 || kind == 34;
        EXPECT_EQ(usbThreadOf(*lineSlot(0)) != nullptr, polled);
        EXPECT_EQ(itmuxThreadOf(*lineSlot(0)) != nullptr, !polled);
        EXPECT_EQ(CloseCommLineEx(0), 1);
        EXPECT_FALSE(lineSlot(0)->isOpen());
    }
    EXPECT_EQ(host.count(), 0u);
}

TEST_F(UsbLine, MissingDriverFileGives31AndStartsNothing) {
    TempDirectory empty;
    empty.useAsSystemDirectory();
    EXPECT_EQ(OpenCommLineEx(1, host.window(), 3, 36), KALVIX3_ERR_USB_DRIVER);
    EXPECT_EQ(lineSlot(1)->kind, 36);
    EXPECT_FALSE(lineSlot(1)->isOpen());

    TempDirectory withDirectory;
    withDirectory.makeDirectory("ITUSB.DLL");
    withDirectory.useAsSystemDirectory();
    EXPECT_EQ(OpenCommLineEx(0, host.window(), 1, 32), KALVIX3_ERR_USB_DRIVER);
    EXPECT_FALSE(lineSlot(0)->isOpen());
    EXPECT_EQ(host.count(), 0u);
}

// ---- Driver failures, each reported once -----------------------------------------------------

TEST_F(UsbLine, LibraryThatDoesNotLoadIsReportedOnceByBothKinds) {
    TempDirectory directory;
    directory.writeFile("ITUSB.DLL", "not a shared object");
    directory.useAsSystemDirectory();
    HostWindow second;
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    ASSERT_EQ(OpenCommLineEx(1, second.window(), 0, 36), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return usbThread(0).finished() && itmuxThread(1).finished(); },
                          scaled(2s)));
    expectOnlyLineError(host, 311);
    expectOnlyLineError(second, 311);
    EXPECT_EQ(host.messages()[0].cbData, 33u);
}

TEST_F(UsbLine, MissingEntriesAreReportedOnceAndNothingIsOpened) {
    StandIn &partial = useStandIn(KALVIX3_STAND_IN_ITUSB_PARTIAL); // no Ev_USB_Control, no close
    HostWindow second;
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 34), KALVIX3_OK);
    ASSERT_EQ(OpenCommLineEx(1, second.window(), 0, 42), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return usbThread(0).finished() && itmuxThread(1).finished(); },
                          scaled(2s)));
    expectOnlyLineError(host, 312);
    expectOnlyLineError(second, 312);
    EXPECT_EQ(partial.callCount(SIMUSB_OPEN_DEVICE, 0), 0);
}

TEST_F(UsbLine, DeviceThatDoesNotOpenIsReportedOnce) {
    StandIn &sim = useStandIn();
    sim.failOpen(1);
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 38), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return itmuxThread().finished(); }, scaled(2s)));
    expectOnlyLineError(host, 313);
    EXPECT_EQ(sim.callCount(SIMUSB_OPEN_DEVICE, 0), 1);
    EXPECT_EQ(eventRequests(), 0);
    EXPECT_EQ(sim.callCount(SIMUSB_CLOSE_DEVICE, 0), 0);
}

TEST_F(UsbLine, BaselineRefusedTwiceASecondApartIsReportedOnce) {
    StandIn &sim = useStandIn();
    sim.failControl(itusb::kCallerStatusCode, 2, 0, 0);
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return usbThread().finished(); }, scaled(4s)));
    expectOnlyLineError(host, 313);
    auto reads = sim.calls(SIMUSB_EV_USB_CONTROL, itusb::kCallerStatusCode);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_GE(reads[1].atMs - reads[0].atMs, 950);
}

TEST_F(UsbLine, TwoRefusedReadsInARowAreReportedOnceAndPollingStops) {
    StandIn &sim = useStandIn();
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    awaitPolls(1);
    sim.failControl(itusb::kCallerStatusCode, -1, 5, 7);
    ASSERT_TRUE(waitUntil([&] { return usbThread().finished(); }, scaled(5s)));
    expectOnlyLineError(host, 313);
    EXPECT_EQ(host.messages()[0].cbData, 30u);
}

TEST_F(UsbLine, OneRefusedReadAndBusyRefusalsArePassedOver) {
    StandIn &sim = useStandIn();
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    awaitPolls(1);
    sim.failControl(itusb::kCallerStatusCode, 1, 5, 7); // one refusal between good reads
    awaitPolls(2);
    sim.failControl(itusb::kCallerStatusCode, 3, 1, 131); // the adapter is busy for a while
    awaitPolls(4);
    sim.placeCall("P");
    ASSERT_TRUE(host.waitForCount(1, scaled(3s)));
    awaitPolls(1);
    EXPECT_EQ(host.texts(), std::vector<std::string>{"P"});
    EXPECT_EQ(host.count(), 1u);
    EXPECT_FALSE(usbThread().finished());
}

// ---- USB receive thread: what is reported ----------------------------------------------------

TEST_F(UsbLine, CallerPresentAtStartIsNotReportedAndANewOneIsReportedOnce) {
    StandIn &sim = useStandIn();
    sim.placeCall("0312345678");
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 34), KALVIX3_OK);
    awaitPolls(2);
    EXPECT_EQ(host.count(), 0u);
    sim.placeCall("0398765432");
    ASSERT_TRUE(host.waitForCount(1, scaled(3s)));
    awaitPolls(2);
    auto messages = host.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, static_cast<uint32_t>(KALVIX3_CALLER_NUMBER_MESSAGE));
    EXPECT_EQ(messages[0].dwData, 12u);
    EXPECT_EQ(messages[0].cbData, 10u);
    EXPECT_EQ(messages[0].text, "0398765432");
}

TEST_F(UsbLine, ChangesOutsideTheComparedBytesSendNothing) {
    useStandIn();
    setStatus({1, 1});
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    awaitPolls(1);
    setStatus({0, 3}); // changed, but byte 0 is not 1: becomes the baseline all the same
    awaitPolls(2);
    setStatus({1, 3}); // differs from that baseline only in byte 0
    awaitPolls(2);
    Bytes tail(sizeof(itusb::CallerStatusRecord), 0);
    tail[0] = 1;
    tail[1] = 3;
    tail[38] = 7;
    tail[40] = 1;
    tail[41] = 2;
    tail[42] = 3;
    setStatus(tail); // only bytes 38 and 40..42 differ
    awaitPolls(2);
    EXPECT_EQ(host.count(), 0u);
    tail[39] = 1; // byte 39 is compared
    setStatus(tail);
    ASSERT_TRUE(host.waitForCount(1, scaled(3s)));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"C"});
}

// ---- ITMUX receive thread: what is reported --------------------------------------------------

TEST_F(UsbLine, EveryDeliveredEventRecordThatNamesACallerIsReported) {
    StandIn &sim = useStandIn();
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 40), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return eventRequests() >= 1; }, scaled(2s)));
    pushEvent({1, 0, 1, 255}, "0312345678");
    pushEvent({1, 0, 0, 1});                  // byte 2 is not 1: passed over
    pushEvent({1, 0, 1, 255}, "0312345678");  // the same record again: reported again
    sim.placeCall("C");
    pushEvent({1, 0, 1, 0});                  // reason 0 gives "O" on these adapters
    pushEvent({1, 0, 1, 0x4E});
    ASSERT_TRUE(host.waitForCount(4, scaled(3s)));
    ASSERT_TRUE(waitUntil([&] { return eventRequests() >= 7; }, scaled(2s)));
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{"0312345678", "0312345678", "C", "O"}));
    EXPECT_EQ(host.messages()[0].cbData, 10u);
}

// ---- Closing ---------------------------------------------------------------------------------

TEST_F(UsbLine, ClosingDuringThePollSleepIsPromptAndReadsNoMore) {
    useStandIn();
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    awaitPolls(2); // just after a read: the body is on its way into its one-second sleep
    int32_t reads = statusReads();
    auto started = Clock::now();
    EXPECT_EQ(CloseCommLineEx(0), 1);
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    std::cout << "[ latency  ] USB line (kind 32) closed in " << took.count() << " us\n";
    EXPECT_LT(took, scaled(100ms));
    EXPECT_EQ(statusReads(), reads);
    EXPECT_EQ(host.count(), 0u);
}

TEST_F(UsbLine, ClosingDuringTheBaselineRetrySendsNothing) {
    StandIn &sim = useStandIn();
    sim.failControl(itusb::kCallerStatusCode, 2, 0, 0);
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return statusReads() >= 1; }, scaled(2s)));
    auto started = Clock::now();
    CloseCommLineEx(0);
    EXPECT_LT(Clock::now() - started, scaled(200ms));
    EXPECT_EQ(statusReads(), 1);
    EXPECT_EQ(host.count(), 0u);
}

TEST_F(UsbLine, ClosingAnItmuxLineIsPromptAndReleasesDeviceThenEvent) {
    StandIn &sim = useStandIn();
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 36), KALVIX3_OK);
    // The request is out: the thread is on its way into its wait for the event, in slices.
    ASSERT_TRUE(waitUntil([&] { return eventRequests() >= 1; }, scaled(2s)));
    auto started = Clock::now();
    EXPECT_EQ(CloseCommLineEx(0), 1);
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    std::cout << "[ latency  ] ITMUX line (kind 36) closed in " << took.count() << " us\n";
    EXPECT_LT(took, scaled(100ms));
    auto closes = sim.calls(SIMUSB_CLOSE_DEVICE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].outstanding, 1); // the event request, ended by the close
    EXPECT_EQ(closes[0].eventsOpen, 1);  // its event is closed only after the device
    EXPECT_EQ(eventRequests(), 1);       // no new request after the stop
    EXPECT_EQ(host.count(), 0u);
}

// ---- History and dialing once a thread has ended ---------------------------------------------

TEST_F(UsbLine, HistoryAndDialAfterTheUsbThreadEndedCallNothing) {
    StandIn &sim = useStandIn();
    sim.failControl(itusb::kCallerStatusCode, -1, 5, 7);
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return usbThread().finished(); }, scaled(4s)));
    int32_t count = 50;
    HistoryRecord records[50] = {};
    EXPECT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_HISTORY_FAILED);
    EXPECT_EQ(count, 50);
    DialUsb(usbLine(), 1, digitTextOf("0312345678"));
    EXPECT_EQ(sim.controlCalls(itusb::kHistoryPageCode), 0);
    EXPECT_EQ(sim.controlCalls(itusb::kDialStartCode), 0);
    EXPECT_EQ(_DialForm, nullptr);
}

TEST_F(UsbLine, HistoryAndDialOnAnItmuxLineWithoutADeviceCallNothing) {
    StandIn &sim = useStandIn();
    sim.failOpen(1);
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 36), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return itmuxThread().finished(); }, scaled(2s)));
    int32_t count = 50;
    HistoryRecord records[50] = {};
    EXPECT_EQ(ReadItmuxHistory(itmuxLine(), &count, records), KALVIX3_HISTORY_FAILED);
    EXPECT_EQ(count, 50);
    DialItmux(itmuxLine(), 1, digitTextOf("0312345678"));
    EXPECT_EQ(sim.callCount(SIMUSB_READ_BUFFER_REQUEST, 0), 0);
    EXPECT_EQ(sim.callCount(SIMUSB_CONTROL_TA, 0), 0);
}

TEST_F(UsbLine, TheDriverStaysLoadedUntilAHistoryReadInProgressReturns) {
    StandIn &sim = useStandIn();
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 0, 32), KALVIX3_OK);
    ASSERT_TRUE(waitUntil([&] { return statusReads() >= 1; }, scaled(2s)));
    sim.setControlDelay(itusb::kHistoryPageCode, static_cast<int32_t>(scaled(4000ms).count()));
    sim.failControl(itusb::kCallerStatusCode, -1, 5, 7); // the body fails about 2 s from now
    std::atomic<bool> readReturned{false};
    bool failureSeen = false, readStillRunning = false, bodyStillRunning = false;
    std::thread watcher([&] {
        failureSeen = host.waitForCount(1, scaled(3500ms));
        std::this_thread::sleep_for(300ms);
        readStillRunning = !readReturned.load();
        bodyStillRunning = !usbThread().finished();
    });
    int32_t count = 10;
    HistoryRecord records[10] = {};
    EXPECT_EQ(ReadUsbHistory(usbLine(), &count, records), KALVIX3_OK);
    readReturned = true;
    watcher.join();
    ASSERT_TRUE(failureSeen);
    ASSERT_TRUE(readStillRunning) << "the failure came too late to tell";
    EXPECT_TRUE(bodyStillRunning) << "the body released the driver under a running read";
    EXPECT_TRUE(waitUntil([&] { return usbThread().finished(); }, scaled(1s)));
    expectOnlyLineError(host, 313);
}

} // namespace
