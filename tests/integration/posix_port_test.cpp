// The POSIX serial port over a pseudo-terminal, with a simulated device on the far side: comm
// events and their wake-ups, a device that vanishes, bounded writes, settings and the
// exclusive open.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "kalvix3_sim/serial_device.h"
#include "platform/serial_port.h"
#include "support/line_fixture.h"
#include "support/time_bounds.h"

using namespace kalvix3::platform;
using namespace std::chrono_literals;
using kalvix3::sim::SerialDevice;
using kalvix3::testing::ComDirectory;
using Clock = std::chrono::steady_clock;
using kalvix3::testing::scaled;

namespace {

std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

class PosixPort : public ::testing::Test {
protected:
    void SetUp() override {
        device = SerialDevice::start(5); // an FSK box: it answers nothing
        comDir.link(3, device->slavePath());
        port = openSystemSerialPort("COM3").port;
        ASSERT_TRUE(port) << std::strerror(errno);
    }

    // Waits, bounded, until the port has `count` bytes queued.
    bool waitForQueued(uint32_t count) {
        auto deadline = Clock::now() + scaled(2s);
        uint32_t errors = 0, queued = 0;
        while (Clock::now() < deadline) {
            port->clearError(errors, queued);
            if (queued >= count)
                return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    ComDirectory comDir;
    std::unique_ptr<SerialDevice> device;
    std::unique_ptr<SerialPort> port;
};

TEST_F(PosixPort, ArrivingDataCompletesAPendingWaitAtOnce) {
    ASSERT_TRUE(port->setMask(EV_RXCHAR | EV_ERR));
    ASSERT_EQ(port->waitCommEvent(), WaitStart::Pending);
    std::thread sender([&] {
        std::this_thread::sleep_for(30ms);
        device->sendRaw("x");
    });
    bool completed = port->awaitCommEvent(5000);
    auto woke = Clock::now();
    sender.join();
    ASSERT_TRUE(completed);
    EXPECT_EQ(port->commEvent(), EV_RXCHAR);
    // The device logs a chunk once its write has returned, which may be after the port woke.
    ASSERT_TRUE(device->waitUntilSent(scaled(2s)));
    auto sent = device->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_LT(woke - sent[0].when, scaled(50ms));
    char byte = 0;
    EXPECT_EQ(port->read(&byte, 1), 1u);
    EXPECT_EQ(byte, 'x');
}

TEST_F(PosixPort, ClearingTheMaskFromAnotherThreadCompletesTheWaitWithZero) {
    port->setMask(EV_RXCHAR | EV_ERR);
    ASSERT_EQ(port->waitCommEvent(), WaitStart::Pending);
    std::thread closer([&] {
        std::this_thread::sleep_for(30ms);
        port->setMask(0);
    });
    auto start = Clock::now();
    bool completed = port->awaitCommEvent(5000);
    closer.join();
    EXPECT_TRUE(completed);
    EXPECT_LT(Clock::now() - start, scaled(1s));
    EXPECT_EQ(port->commEvent(), 0u);
    EXPECT_EQ(port->waitCommEvent(), WaitStart::Failed) << "no wait under an empty mask";
}

TEST_F(PosixPort, AnInterruptEndsTheWaitWithoutCompletingIt) {
    port->setMask(EV_RXCHAR);
    ASSERT_EQ(port->waitCommEvent(), WaitStart::Pending);
    port->interruptWait();
    auto start = Clock::now();
    EXPECT_FALSE(port->awaitCommEvent(5000));
    EXPECT_LT(Clock::now() - start, scaled(500ms));
    device->sendRaw("y");
    EXPECT_TRUE(port->awaitCommEvent(5000)) << "the wait was still pending";
    EXPECT_EQ(port->commEvent(), EV_RXCHAR);
}

TEST_F(PosixPort, BytesAlreadyQueuedCompleteTheWaitAsItStarts) {
    port->setMask(EV_RXCHAR | EV_ERR);
    device->sendRaw("abc");
    ASSERT_TRUE(waitForQueued(3));
    ASSERT_EQ(port->waitCommEvent(), WaitStart::Completed);
    EXPECT_EQ(port->commEvent(), EV_RXCHAR);
    char bytes[8] = {};
    EXPECT_EQ(port->read(bytes, sizeof bytes), 3u);
    EXPECT_STREQ(bytes, "abc");
    EXPECT_EQ(port->waitCommEvent(), WaitStart::Pending);
}

// Once the line's settings are applied the terminal marks its input (a data byte 0xFF arrives
// doubled); the port gives back the bytes as sent, marked or not.
TEST_F(PosixPort, ByteFFArrivesAsSentWithOrWithoutInputMarking) {
    for (bool settingsApplied : {false, true}) {
        if (settingsApplied) {
            Dcb dcb;
            ASSERT_TRUE(port->getState(dcb));
            dcb.BaudRate = 9600;
            ASSERT_TRUE(port->setState(dcb));
        }
        device->sendRaw("\xFF\xFF" "a\xFF");
        ASSERT_TRUE(waitForQueued(4)) << settingsApplied;
        char bytes[8] = {};
        EXPECT_EQ(port->read(bytes, sizeof bytes), 4u) << settingsApplied;
        EXPECT_EQ(std::string(bytes), "\xFF\xFF" "a\xFF") << settingsApplied;
    }
}

TEST_F(PosixPort, PurgeDropsWhatIsQueued) {
    device->sendRaw("queued");
    ASSERT_TRUE(waitForQueued(6));
    EXPECT_TRUE(port->purge(PURGE_ALL));
    uint32_t errors = 1, queued = 1;
    EXPECT_TRUE(port->clearError(errors, queued));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(queued, 0u);
}

TEST_F(PosixPort, AnIdleWaitSleepsInsteadOfPolling) {
    port->setMask(EV_RXCHAR | EV_ERR);
    ASSERT_EQ(port->waitCommEvent(), WaitStart::Pending);
    auto cpuBefore = threadCpuTime();
    auto start = Clock::now();
    EXPECT_FALSE(port->awaitCommEvent(300));
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_LT(threadCpuTime() - cpuBefore, scaled(20ms));
}

TEST_F(PosixPort, AVanishedDeviceIsReportedOnceThenWaitsFail) {
    port->setMask(EV_RXCHAR | EV_ERR);
    ASSERT_EQ(port->waitCommEvent(), WaitStart::Pending);
    device->vanish();
    ASSERT_TRUE(port->awaitCommEvent(5000));
    EXPECT_EQ(port->commEvent(), EV_ERR);
    uint32_t errors = 0, queued = 7;
    port->clearError(errors, queued);
    EXPECT_EQ(errors, CE_IOE);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(port->waitCommEvent(), WaitStart::Failed);
    port->setMask(EV_RXCHAR | EV_ERR);
    EXPECT_EQ(port->waitCommEvent(), WaitStart::Failed);
    char byte;
    EXPECT_EQ(port->read(&byte, 1), 0u);
    auto start = Clock::now();
    EXPECT_EQ(port->write("AT\r\n", 4), 0u);
    EXPECT_LT(Clock::now() - start, scaled(500ms));
}

TEST_F(PosixPort, AVanishedDeviceEndsAWaitWithoutErrorEventsWithZero) {
    port->setMask(EV_RXCHAR);
    ASSERT_EQ(port->waitCommEvent(), WaitStart::Pending);
    device->vanish();
    ASSERT_TRUE(port->awaitCommEvent(5000));
    EXPECT_EQ(port->commEvent(), 0u);
    EXPECT_EQ(port->waitCommEvent(), WaitStart::Failed);
}

TEST_F(PosixPort, SettingsRoundTripAndKeepWhatTermiosCannotHold) {
    Dcb dcb;
    ASSERT_TRUE(port->getState(dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffLim, 512);
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x7E;
    dcb.XonLim = 100;
    ASSERT_TRUE(port->setState(dcb));
    Dcb read;
    ASSERT_TRUE(port->getState(read));
    EXPECT_EQ(read, dcb);

    Dcb odd = dcb;
    odd.BaudRate = 12345;
    EXPECT_FALSE(port->setState(odd));
    ASSERT_TRUE(port->getState(read));
    EXPECT_EQ(read.BaudRate, 19200u) << "a refused state changes nothing";
}

TEST_F(PosixPort, APseudoTerminalKeepsItsFixedFramingEvenWhenAsked7E1Again) {
    Dcb dcb;
    ASSERT_TRUE(port->getState(dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    // The second time only the framing would change, which Linux refuses on a pty.
    for (int round = 0; round < 2; ++round)
        ASSERT_TRUE(port->setState(dcb)) << "round " << round;
    Dcb read;
    ASSERT_TRUE(port->getState(read));
    EXPECT_EQ(read.BaudRate, 9600u);
    EXPECT_EQ(read.ByteSize, 8) << "the driver's own framing";
    EXPECT_EQ(read.Parity, NOPARITY);
    EXPECT_EQ(read.fOutxCtsFlow, 1);
}

TEST_F(PosixPort, DtrChangesOnAPseudoTerminalSucceedAsNothingToDo) {
    EXPECT_TRUE(port->escapeFunction(SETDTR));
    EXPECT_TRUE(port->escapeFunction(CLRDTR));
    EXPECT_FALSE(port->escapeFunction(99));
}

TEST_F(PosixPort, TheOpenIsExclusiveAcrossLinksAndForRoot) {
    errno = 0;
    OpenedPort busy = openSystemSerialPort("COM3");
    EXPECT_EQ(busy.port, nullptr);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(busy.error.failure, OpenFailure::Locked);
    EXPECT_EQ(busy.error.systemError, EBUSY);
    EXPECT_EQ(busy.error.path, device->slavePath()) << "the device behind the link";
    comDir.link(5, device->slavePath());
    EXPECT_EQ(openSystemSerialPort("COM5").port, nullptr) << "the same device through another link";

    // Root passes TIOCEXCL, so look at the flag itself; a non-root user cannot even open.
    int other = ::open(device->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (geteuid() != 0) {
        EXPECT_LT(other, 0);
    } else {
        ASSERT_GE(other, 0);
        int exclusive = 0;
        ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
        port.reset();
        ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "closing gives the exclusive mode up";
        ::close(other);
    }
    port.reset();
    EXPECT_NE(openSystemSerialPort("COM5").port, nullptr) << "free again once closed";
}

TEST_F(PosixPort, NamesThatLeadNowhereDoNotOpen) {
    errno = 0;
    OpenedPort missing = openSystemSerialPort("COM8");
    EXPECT_EQ(missing.port, nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(missing.error.failure, OpenFailure::NoSuchDevice);
    EXPECT_EQ(missing.error.path, comDir.path() + "/COM8");
    EXPECT_EQ(openSystemSerialPort("LPT1").error.failure, OpenFailure::NoSuchDevice);
    std::string file = comDir.path() + "/plain";
    std::ofstream(file) << "not a terminal";
    comDir.link(6, file);
    errno = 0;
    OpenedPort plain = openSystemSerialPort("COM6");
    EXPECT_EQ(plain.port, nullptr);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(plain.error.failure, OpenFailure::NotATerminal);
    EXPECT_EQ(plain.error.systemError, ENOTTY);
    unlink(file.c_str());
}

TEST(PosixPortWrite, AWriteNobodyReadsEndsAtTheWriteTimeOut) {
    ComDirectory comDir;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(unlockpt(master), 0);
    comDir.link(4, ptsname(master));
    {
        auto port = openSystemSerialPort("COM4").port;
        ASSERT_TRUE(port);
        ASSERT_TRUE(port->setTimeouts({0xFFFFFFFF, 0, 1000, 0, 200}));
        std::string lots(1 << 20, 'z');
        auto start = Clock::now();
        uint32_t written = port->write(lots.data(), static_cast<uint32_t>(lots.size()));
        auto took = Clock::now() - start;
        EXPECT_LT(written, lots.size());
        EXPECT_GE(took, 190ms);
        EXPECT_LT(took, scaled(2s));
    }
    ::close(master);
}

} // namespace
