// The POSIX serial port: a terminal device (a real port, a USB-serial adapter or the slave side
// of a pseudo-terminal) opened for exclusive use and configured through termios, with the comm
// events of Win32 built on poll() over the device and a wake-up eventfd.
//
// Events are sensed from the device's state when a wait looks at it: bytes queued give
// EV_RXCHAR, new counts in the kernel's error counters or faults marked in the input give EV_ERR
// (on its own, ahead of the data that came with the fault, as the Win32 driver reports it), and
// a device that has gone away (hang-up, EIO) gives EV_ERR with CE_IOE once, after which waits
// fail. So an event that happens while no wait is pending is seen by the next wait, and a line
// that has nothing to say sleeps in poll() without waking. The input is taken from the device
// as it is sensed and kept, with its PARMRK marks decoded, until it is read.
#include "platform/serial_port.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix/serial_settings_posix.h"

namespace kalvix3::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// EscapeCommFunction codes beside SETDTR and CLRDTR.
constexpr uint32_t SETXOFF = 1;
constexpr uint32_t SETXON = 2;
constexpr uint32_t SETRTS = 3;
constexpr uint32_t CLRRTS = 4;
constexpr uint32_t SETBREAK = 8;
constexpr uint32_t CLRBREAK = 9;

// A write time-out of 0 means "no limit" to Win32; here nothing blocks without a bound, so such
// a write gives up after the time the line profiles use themselves.
constexpr uint64_t kWriteBoundWithoutTimeoutMs = 10000;

// The kernel's "no such request for this device" (ENOIOCTLCMD leaks out of a few drivers).
constexpr int kNoIoctlCommand = 515;

// At most this much decoded input is held by the port; the rest waits in the kernel's queue.
constexpr size_t kDecodedInputLimit = 16384;

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd(other.fd) { other.fd = -1; }
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset();
            fd = other.fd;
            other.fd = -1;
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    void reset() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd;
};

// Keeps every other open of the device out: flock (which holds against root too, and across
// every path that leads to the same device) and TIOCEXCL (which refuses further opens by
// non-root users). Given up in reverse order, before the descriptor is closed; TIOCEXCL stays
// on the terminal otherwise, for as long as anyone else holds it open.
class ExclusiveClaim {
public:
    ExclusiveClaim() = default;
    ~ExclusiveClaim() { release(); }
    ExclusiveClaim(ExclusiveClaim &&other) noexcept
        : fd(other.fd), locked(other.locked), exclusive(other.exclusive) {
        other.locked = other.exclusive = false;
    }
    ExclusiveClaim &operator=(ExclusiveClaim &&) = delete;
    ExclusiveClaim(const ExclusiveClaim &) = delete;

    // False with errno set when the device is in use or refuses exclusive mode.
    bool take(int device) {
        fd = device;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                errno = EBUSY;
            return false;
        }
        locked = true;
        if (ioctl(fd, TIOCEXCL) != 0)
            return false;
        exclusive = true;
        return true;
    }

    void release() {
        if (exclusive)
            ioctl(fd, TIOCNXCL);
        if (locked)
            flock(fd, LOCK_UN);
        exclusive = locked = false;
    }

private:
    int fd = -1;
    bool locked = false;
    bool exclusive = false;
};

// True when a modem control request failed because the device has no such line at all
// (a pseudo-terminal, a driver without modem control), not because changing it failed.
bool lacksModemControl(int error) {
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS ||
           error == kNoIoctlCommand;
}

bool isGoneError(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

int millisecondsUntil(SteadyClock::time_point deadline) {
    auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero())
        return 0;
    // Rounded up, so a wait never returns just before its deadline and goes round again.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// The slave side of a pseudo-terminal (Unix 98 or legacy BSD): no wire, so no byte size or
// parity; Linux forces CS8 without parity there and refuses a change that would only set them.
bool isPseudoTerminal(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    unsigned int deviceMajor = major(info.st_rdev);
    return (deviceMajor >= 136 && deviceMajor <= 143) || deviceMajor == 3;
}

// Keeps the framing a pseudo-terminal insists on in the settings asked for.
void keepPseudoTerminalFraming(const termios &current, termios &wanted) {
    tcflag_t framing = CSIZE | PARENB | PARODD;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    wanted.c_cflag = (wanted.c_cflag & ~framing) | (current.c_cflag & framing);
}

bool readLineCounters(int fd, posix::LineCounters &counters) {
#ifdef TIOCGICOUNT
    serial_icounter_struct raw{};
    if (ioctl(fd, TIOCGICOUNT, &raw) != 0)
        return false;
    counters.frame = static_cast<uint32_t>(raw.frame);
    counters.parity = static_cast<uint32_t>(raw.parity);
    counters.overrun = static_cast<uint32_t>(raw.overrun);
    counters.bufOverrun = static_cast<uint32_t>(raw.buf_overrun);
    counters.brk = static_cast<uint32_t>(raw.brk);
    return true;
#else
    (void)fd;
    (void)counters;
    errno = ENOTTY;
    return false;
#endif
}

// What a freshly opened port reports for the DCB fields termios does not hold.
Dcb plausibleDefaults() {
    Dcb dcb;
    dcb.DCBlength = 28;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE; // opening a terminal raises DTR and RTS
    dcb.fRtsControl = 1;                  // RTS_CONTROL_ENABLE
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    return dcb;
}

class PosixSerialPort final : public SerialPort {
public:
    PosixSerialPort(UniqueFd device, ExclusiveClaim claim, UniqueFd wake, const Dcb &initial,
                    bool inputMarked, bool hasCounters, const posix::LineCounters &counters)
        : device(std::move(device)), claim(std::move(claim)), wake(std::move(wake)),
          pseudoTerminal(isPseudoTerminal(this->device.get())), hasCounters(hasCounters),
          counters(counters), inputMarked(inputMarked), lastDcb(initial) {}

    ~PosixSerialPort() override {
        {
            std::lock_guard<std::mutex> hold(lock);
            if (waiting)
                completeWait(0);
            wakeWaiter();
        }
        // Whatever is still queued is dropped, so closing never waits for output to drain
        // (a real port with CTS low would hold close() for half a minute).
        tcflush(device.get(), TCIOFLUSH);
    }

    bool setupComm(uint32_t, uint32_t) override {
        return true; // the kernel sizes a terminal's queues itself
    }

    int32_t lastSystemError() const override { return failure.load(std::memory_order_relaxed); }

    bool purge(uint32_t flags) override {
        bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
        bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
        if (!input && !output)
            return true;
        int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        if (input) {
            std::lock_guard<std::mutex> hold(lock);
            decoded.clear();
            decoder.reset();
        }
        if (tcflush(device.get(), queue) == 0)
            return true;
        noteFailure(errno);
        return false;
    }

    bool setTimeouts(const CommTimeouts &value) override {
        std::lock_guard<std::mutex> hold(lock);
        timeouts = value;
        return true;
    }

    bool getState(Dcb &dcb) override {
        termios tio{};
        if (tcgetattr(device.get(), &tio) != 0) {
            noteFailure(errno);
            return false;
        }
        std::lock_guard<std::mutex> hold(lock);
        posix::dcbFromTermios(tio, lastDcb);
        dcb = lastDcb;
        return true;
    }

    bool setState(const Dcb &dcb) override {
        termios current{};
        if (tcgetattr(device.get(), &current) != 0) {
            noteFailure(errno);
            return false;
        }
        termios wanted = current;
        if (!posix::termiosFromDcb(dcb, wanted)) {
            noteFailure(EINVAL);
            return false;
        }
        if (tcsetattr(device.get(), TCSANOW, &wanted) != 0) {
            int error = errno;
            if (error != EINVAL || !pseudoTerminal) {
                noteFailure(error);
                return false;
            }
            keepPseudoTerminalFraming(current, wanted);
            if (tcsetattr(device.get(), TCSANOW, &wanted) != 0) {
                noteFailure(errno);
                return false;
            }
        }
        {
            std::lock_guard<std::mutex> hold(lock);
            inputMarked = (wanted.c_iflag & PARMRK) != 0;
        }
        posix::ModemLineLevels levels = posix::modemLinesForDcb(dcb);
        if (!setModemLine(TIOCM_DTR, levels.dtr) || !setModemLine(TIOCM_RTS, levels.rts))
            return false;
        std::lock_guard<std::mutex> hold(lock);
        lastDcb = dcb;
        return true;
    }

    bool setMask(uint32_t value) override {
        std::lock_guard<std::mutex> hold(lock);
        // Line errors seen so far stay in the error word but raise no event under the new mask.
        errorWord |= takeLineErrors();
        mask = value;
        if (waiting) {
            completeWait(0);
            wakeWaiter();
        }
        return true;
    }

    bool escapeFunction(uint32_t function) override {
        switch (function) {
        case SETDTR: return setModemLine(TIOCM_DTR, posix::LineLevel::Raise);
        case CLRDTR: return setModemLine(TIOCM_DTR, posix::LineLevel::Lower);
        case SETRTS: return setModemLine(TIOCM_RTS, posix::LineLevel::Raise);
        case CLRRTS: return setModemLine(TIOCM_RTS, posix::LineLevel::Lower);
        case SETBREAK: return succeeded(ioctl(device.get(), TIOCSBRK));
        case CLRBREAK: return succeeded(ioctl(device.get(), TIOCCBRK));
        case SETXOFF: return succeeded(tcflow(device.get(), TCOOFF));
        case SETXON: return succeeded(tcflow(device.get(), TCOON));
        default:
            noteFailure(EINVAL);
            return false;
        }
    }

    WaitStart waitCommEvent() override {
        std::lock_guard<std::mutex> hold(lock);
        eventWord = 0;
        waiting = false;
        if (mask == 0 || goneReported || (gone && (mask & EV_ERR) == 0))
            return WaitStart::Failed;
        pollfd watch{device.get(), static_cast<short>((mask & EV_RXCHAR) ? POLLIN : 0), 0};
        short revents = poll(&watch, 1, 0) > 0 ? watch.revents : 0;
        uint32_t seen = senseEvents(revents);
        if (seen != 0) {
            eventWord = seen;
            return WaitStart::Completed;
        }
        if (gone)
            return WaitStart::Failed;
        waiting = true;
        return WaitStart::Pending;
    }

    bool awaitCommEvent(uint32_t timeoutMs) override {
        auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        bool watchInput = true;
        for (;;) {
            drainWake();
            short events = 0;
            {
                std::lock_guard<std::mutex> hold(lock);
                if (!waiting)
                    return true;
                if (interruptRequested) {
                    interruptRequested = false;
                    return false;
                }
                if (watchInput && (mask & EV_RXCHAR))
                    events = POLLIN;
            }
            int remaining = millisecondsUntil(deadline);
            pollfd watch[2] = {{device.get(), events, 0}, {wake.get(), POLLIN, 0}};
            int ready = poll(watch, 2, remaining);
            int pollError = ready < 0 ? errno : 0;

            std::lock_guard<std::mutex> hold(lock);
            if (!waiting)
                return true;
            if (interruptRequested) {
                interruptRequested = false;
                return false;
            }
            if (ready < 0 && pollError != EINTR) {
                gone = true; // the descriptor itself is unusable: end the wait for good
                completeWait(0);
                return true;
            }
            if (ready > 0 && watch[0].revents != 0) {
                uint32_t seen = senseEvents(watch[0].revents);
                if (seen != 0 || gone) {
                    completeWait(seen);
                    return true;
                }
                // Readable yet nothing queued: do not go round on it for the rest of this wait.
                watchInput = false;
            }
            if (remaining == 0) {
                // Line errors that come without data (a mask without EV_RXCHAR) are looked for
                // once per wait.
                uint32_t seen = senseEvents(0);
                if (seen != 0) {
                    completeWait(seen);
                    return true;
                }
                return false;
            }
        }
    }

    uint32_t commEvent() const override {
        std::lock_guard<std::mutex> hold(lock);
        return eventWord;
    }

    void resetWaitEvent() override {} // the waits drain the wake-up descriptor themselves

    void interruptWait() override {
        std::lock_guard<std::mutex> hold(lock);
        interruptRequested = true;
        wakeWaiter();
    }

    bool clearError(uint32_t &errors, uint32_t &inQueue) override {
        std::lock_guard<std::mutex> hold(lock);
        inQueue = gone ? 0 : queuedBytes(); // first: the faults marked in what it takes count
        errorWord |= takeLineErrors();
        errors = errorWord;
        errorWord = 0;
        return !gone || errors != 0;
    }

    uint32_t read(void *buffer, uint32_t count) override {
        std::lock_guard<std::mutex> hold(lock);
        if (decoded.size() < count)
            pullInput();
        size_t got = std::min<size_t>(count, decoded.size());
        std::copy_n(decoded.begin(), got, static_cast<uint8_t *>(buffer));
        decoded.erase(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(got));
        return static_cast<uint32_t>(got);
    }

    uint32_t write(const void *data, uint32_t count) override {
        uint64_t boundMs;
        {
            std::lock_guard<std::mutex> hold(lock);
            boundMs = uint64_t{timeouts.writeTotalTimeoutMultiplier} * count +
                      timeouts.writeTotalTimeoutConstant;
        }
        if (boundMs == 0)
            boundMs = kWriteBoundWithoutTimeoutMs;
        auto deadline = SteadyClock::now() + std::chrono::milliseconds(boundMs);
        const auto *bytes = static_cast<const uint8_t *>(data);
        uint32_t done = 0;
        while (done < count) {
            ssize_t put = ::write(device.get(), bytes + done, count - done);
            if (put > 0) {
                done += static_cast<uint32_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                noteFailure(errno);
                break;
            }
            int remaining = millisecondsUntil(deadline);
            if (remaining == 0)
                break; // the write time-out has passed
            pollfd watch{device.get(), POLLOUT, 0};
            if (poll(&watch, 1, remaining) < 0 && errno != EINTR)
                break;
            if (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                noteFailure(EIO);
                break;
            }
        }
        return done;
    }

private:
    // ---- Lock held ---------------------------------------------------------------------------
    void completeWait(uint32_t word) {
        eventWord = word;
        waiting = false;
    }

    void wakeWaiter() {
        uint64_t one = 1;
        (void)!::write(wake.get(), &one, sizeof one);
    }

    // New line errors since the last look: the faults marked in the input taken so far, and the
    // kernel's counters where the driver keeps them (pseudo-terminals do not). A fault seen both
    // ways is one report; a framing error, marked like a parity error, keeps its code through
    // the counter's CE_FRAME, which comes first.
    uint32_t takeLineErrors() {
        uint32_t errors = std::exchange(markedFaults, 0);
        if (!hasCounters || gone)
            return errors;
        posix::LineCounters now;
        if (!readLineCounters(device.get(), now)) {
            if (isGoneError(errno))
                gone = true;
            else
                hasCounters = false;
            return errors;
        }
        errors |= posix::lineErrorsBetween(counters, now);
        counters = now;
        return errors;
    }

    // Moves what the device has queued into `decoded`, with the PARMRK marks (while the terminal
    // makes them) turned into data bytes and markedFaults.
    void pullInput() {
        while (!gone && decoded.size() < kDecodedInputLimit) {
            uint8_t raw[512];
            ssize_t got = ::read(device.get(), raw, sizeof raw);
            if (got > 0) {
                if (inputMarked)
                    decoder.decode(raw, static_cast<size_t>(got), decoded, markedFaults);
                else
                    decoded.insert(decoded.end(), raw, raw + got);
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && isGoneError(errno))
                gone = true;
            return; // nothing more queued (EAGAIN), or the device failed
        }
    }

    uint32_t queuedBytes() {
        pullInput();
        return static_cast<uint32_t>(decoded.size());
    }

    // The events of the mask that the device's state shows now; `revents` is what poll() said.
    // A fault is reported on its own, ahead of the data that came with it, as the Win32 driver
    // reports it; that data raises the next event (unless the error handling purges it).
    uint32_t senseEvents(short revents) {
        uint32_t seen = 0;
        if (revents & (POLLHUP | POLLERR | POLLNVAL))
            gone = true;
        if (revents & POLLIN)
            pullInput(); // first, so that the faults marked in it are taken below
        if (uint32_t errors = takeLineErrors(); errors != 0) {
            errorWord |= errors;
            seen |= EV_ERR;
        }
        if (gone && !goneReported && (mask & EV_ERR)) {
            errorWord |= CE_IOE; // reported once; the waits after it fail
            goneReported = true;
            seen |= EV_ERR;
        }
        if ((seen & mask) == 0 && !gone && !decoded.empty())
            seen |= EV_RXCHAR;
        return seen & mask;
    }

    // ---- Any thread ------------------------------------------------------------------------
    void drainWake() {
        uint64_t count = 0;
        (void)!::read(wake.get(), &count, sizeof count);
    }

    void noteFailure(int error) {
        failure.store(error, std::memory_order_relaxed);
        if (isGoneError(error)) {
            std::lock_guard<std::mutex> hold(lock);
            gone = true;
        }
        errno = error;
    }

    bool succeeded(int result) {
        if (result == 0)
            return true;
        noteFailure(errno);
        return false;
    }

    // Raises or lowers one modem line; a device without modem lines has nothing to change.
    bool setModemLine(int line, posix::LineLevel level) {
        if (level == posix::LineLevel::Leave)
            return true;
        unsigned long request = level == posix::LineLevel::Raise ? TIOCMBIS : TIOCMBIC;
        if (ioctl(device.get(), request, &line) == 0)
            return true;
        int error = errno;
        if (lacksModemControl(error))
            return true;
        noteFailure(error);
        return false;
    }

    // Released in reverse order: the wake-up descriptor, the claim, the device.
    UniqueFd device;
    ExclusiveClaim claim;
    UniqueFd wake;
    const bool pseudoTerminal;

    mutable std::mutex lock;
    uint32_t mask = 0;
    bool waiting = false;
    bool interruptRequested = false;
    uint32_t eventWord = 0;
    uint32_t errorWord = 0;
    std::atomic<int> failure{0}; // errno of the last failed call
    bool gone = false;         // hung up, unplugged: nothing more will come
    bool goneReported = false; // EV_ERR with CE_IOE has been delivered for it
    bool hasCounters;
    posix::LineCounters counters;
    bool inputMarked; // PARMRK is set: the input carries marks to decode
    posix::MarkedInputDecoder decoder;
    std::vector<uint8_t> decoded; // input taken from the device and not yet read
    uint32_t markedFaults = 0;    // faults decoded from the input, not yet taken
    Dcb lastDcb; // what termios cannot hold, as last set or read
    CommTimeouts timeouts;
};

// What an errno of the open path means to a host.
OpenFailure openFailureOf(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return OpenFailure::NoSuchDevice;
    case EACCES:
    case EPERM:
        return OpenFailure::PermissionDenied;
    case EBUSY:
        return OpenFailure::Locked;
    case ENOTTY:
    case EINVAL: // isatty() on some systems
        return OpenFailure::NotATerminal;
    default:
        return OpenFailure::Other;
    }
}

// The device a COM name leads to (a link in KALVIX3_COM_DIR is followed), for messages.
std::string devicePath(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr)
        return resolved;
    return path;
}

// Opens and claims the device; on failure `error` is the errno of the step that failed, taken
// before anything acquired so far is released.
std::unique_ptr<SerialPort> openDevice(const std::string &path, int &error) {
    UniqueFd device(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!device) {
        error = errno;
        return nullptr;
    }
    if (!isatty(device.get())) {
        error = errno;
        return nullptr;
    }
    ExclusiveClaim claim;
    if (!claim.take(device.get())) {
        error = errno;
        return nullptr;
    }
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        error = errno;
        return nullptr;
    }
    termios tio{};
    if (tcgetattr(device.get(), &tio) != 0) {
        error = errno;
        return nullptr;
    }
    Dcb initial = plausibleDefaults();
    posix::dcbFromTermios(tio, initial);
    posix::LineCounters counters;
    bool hasCounters = readLineCounters(device.get(), counters);
    bool inputMarked = (tio.c_iflag & PARMRK) != 0;
    return std::make_unique<PosixSerialPort>(std::move(device), std::move(claim), std::move(wake),
                                             initial, inputMarked, hasCounters, counters);
}

} // namespace

OpenedPort openSystemSerialPort(const char *portName) {
    std::string path = posix::comPortPath(portName, std::getenv("KALVIX3_COM_DIR"));
    if (path.empty()) {
        errno = ENOENT;
        return OpenedPort::failed(OpenFailure::NoSuchDevice, ENOENT, portName ? portName : "");
    }
    int error = 0;
    std::unique_ptr<SerialPort> port = openDevice(path, error);
    if (port)
        return OpenedPort(std::move(port));
    OpenedPort failed = OpenedPort::failed(openFailureOf(error), error, devicePath(path));
    errno = error; // after the partial open has been undone
    return failed;
}

} // namespace kalvix3::platform
