#include "kalvix3_sim/serial_device.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include "device_families.h"

namespace kalvix3::sim {

namespace {

using namespace std::chrono_literals;

constexpr int kLongestWaitMs = 100;
constexpr size_t kReadBlock = 4096;
// A number-display adapter's report: sent, again after 50 ms (so the receiver sees ETX STX),
// then every 500 ms until acknowledged; never more than six copies.
constexpr auto kSecondCopyAfter = 50ms;
constexpr auto kResendEvery = 500ms;
constexpr int kMostCopies = 6;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd; }
    void reset(int next = -1) {
        if (fd >= 0)
            ::close(fd);
        fd = next;
    }

private:
    int fd;
};

[[noreturn]] void throwSystemError(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &tio);
    }
}

int millisecondsUntil(Clock::time_point when) {
    auto left = when - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return static_cast<int>(std::min<int64_t>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count(), kLongestWaitMs));
}

struct Scheduled {
    std::string bytes;
    uint64_t report = 0; // the caller report these copies repeat (0: not a report); dropped
                         // when the device receives the ACK of that report
};

} // namespace

struct SerialDevice::State {
    State(int kind, Family family) : kind(kind), family(family), responder(family) {}

    int kind;
    Family family;
    std::string slavePath;
    // The master is what the device talks through; the device also keeps the slave open, so
    // the line stays up while the port's user closes and reopens it.
    Descriptor master, slave, wake;
    std::thread worker;
    std::mutex lifecycle; // stop() and vanish() from several threads

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool stopRequested = false;
    bool vanishRequested = false;
    bool serving = false;
    std::multimap<Clock::time_point, Scheduled> schedule;
    size_t unsent = 0; // scheduled chunks taken up for writing but not yet written
    Responder responder;
    std::vector<Chunk> receivedLog;
    std::string receivedAll;
    std::vector<Chunk> sentLog;
    size_t acks = 0;
    uint64_t nextReport = 1;
    uint64_t reportOnLine = 0; // the report whose copy was taken up for sending last

    void wakeServer() {
        uint64_t one = 1;
        (void)!::write(wake.get(), &one, sizeof one);
    }

    // Lock held.
    void scheduleBytes(Clock::time_point when, std::string bytes, uint64_t report = 0) {
        schedule.emplace(when, Scheduled{std::move(bytes), report});
    }
};

SerialDevice::SerialDevice(int kind, Family family) : state(std::make_unique<State>(kind, family)) {}

std::unique_ptr<SerialDevice> SerialDevice::start(int kind) {
    std::optional<Family> family = familyOfKind(kind);
    if (!family)
        throw std::invalid_argument("no serial device of kind " + std::to_string(kind));
    std::unique_ptr<SerialDevice> device(new SerialDevice(kind, *family));
    State &s = *device->state;

    s.master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (s.master.get() < 0)
        throwSystemError("posix_openpt");
    if (grantpt(s.master.get()) != 0 || unlockpt(s.master.get()) != 0)
        throwSystemError("unlockpt");
    char name[128] = {};
    if (ptsname_r(s.master.get(), name, sizeof name) != 0)
        throwSystemError("ptsname_r");
    s.slavePath = name;
    s.slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (s.slave.get() < 0)
        throwSystemError("open slave");
    makeRaw(s.master.get());
    makeRaw(s.slave.get());
    if (fcntl(s.master.get(), F_SETFL, fcntl(s.master.get(), F_GETFL) | O_NONBLOCK) != 0)
        throwSystemError("fcntl");
    s.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (s.wake.get() < 0)
        throwSystemError("eventfd");

    s.serving = true;
    s.worker = std::thread(&SerialDevice::serve, device.get());
    return device;
}

SerialDevice::~SerialDevice() { stop(); }

int SerialDevice::kind() const { return state->kind; }
Family SerialDevice::family() const { return state->family; }
const std::string &SerialDevice::slavePath() const { return state->slavePath; }

void SerialDevice::placeCall(const Call &call) {
    std::string report = callerReport(state->family, call);
    std::lock_guard<std::mutex> hold(state->lock);
    auto now = Clock::now();
    if (state->family == Family::NumberDisplay) {
        auto when = now;
        uint64_t id = state->nextReport++;
        for (int copy = 0; copy < kMostCopies; ++copy) {
            state->scheduleBytes(when, report, id);
            when += copy == 0 ? Clock::duration(kSecondCopyAfter) : Clock::duration(kResendEvery);
        }
    } else {
        state->scheduleBytes(now, std::move(report));
    }
    state->wakeServer();
}

void SerialDevice::sendRaw(std::string bytes, Pacing pacing) {
    std::lock_guard<std::mutex> hold(state->lock);
    auto when = Clock::now();
    size_t piece = pacing.pieceSize == 0 ? bytes.size() : pacing.pieceSize;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        state->scheduleBytes(when, bytes.substr(at, piece));
        when += pacing.pause;
    }
    state->wakeServer();
}

void SerialDevice::injectNoise(size_t count, uint32_t seed) { sendRaw(lineNoise(count, seed)); }

void SerialDevice::setHistory(std::vector<HistoryEntry> entries) {
    std::lock_guard<std::mutex> hold(state->lock);
    state->responder.setHistory(std::move(entries));
}

void SerialDevice::vanish() {
    std::lock_guard<std::mutex> order(state->lifecycle);
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->vanishRequested = true;
        state->wakeServer();
    }
    if (state->worker.joinable())
        state->worker.join();
}

void SerialDevice::stop() {
    std::lock_guard<std::mutex> order(state->lifecycle);
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->stopRequested = true;
        state->wakeServer();
    }
    if (state->worker.joinable())
        state->worker.join();
    state->master.reset();
    state->slave.reset();
}

bool SerialDevice::running() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->serving;
}

std::vector<Chunk> SerialDevice::received() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->receivedLog;
}

std::string SerialDevice::receivedBytes() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->receivedAll;
}

bool SerialDevice::waitForReceived(std::string_view bytes, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(state->lock);
    return state->changed.wait_for(hold, limit, [&] {
        return state->receivedAll.find(bytes) != std::string::npos;
    });
}

std::optional<Clock::time_point> SerialDevice::timeReceived(std::string_view bytes) const {
    std::lock_guard<std::mutex> hold(state->lock);
    std::string seen;
    for (const Chunk &chunk : state->receivedLog) {
        seen += chunk.bytes;
        if (seen.find(bytes) != std::string::npos)
            return chunk.when;
    }
    return std::nullopt;
}

std::vector<Chunk> SerialDevice::sent() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->sentLog;
}

bool SerialDevice::waitUntilSent(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(state->lock);
    return state->changed.wait_for(hold, limit, [&] {
        return !state->serving || (state->schedule.empty() && state->unsent == 0);
    }) && state->serving;
}

size_t SerialDevice::acknowledgements() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->acks;
}

void SerialDevice::clearRecord() {
    std::lock_guard<std::mutex> hold(state->lock);
    state->receivedLog.clear();
    state->receivedAll.clear();
    state->sentLog.clear();
    state->acks = 0;
}

// The device's thread: writes what is due, reads and answers what arrives, and sleeps in poll()
// until the next thing is due (at most 100 ms) or a request wakes it.
void SerialDevice::serve() {
    State &s = *state;
    std::vector<std::string> outbox; // due chunks, in order; the first may be partly written
    size_t writtenOfFirst = 0;
    char block[kReadBlock];
    bool masterSilent = false; // the master reported a hang-up without data: stop watching it

    for (;;) {
        int timeout = kLongestWaitMs;
        {
            std::lock_guard<std::mutex> hold(s.lock);
            if (s.stopRequested || s.vanishRequested)
                break;
            auto now = Clock::now();
            while (!s.schedule.empty() && s.schedule.begin()->first <= now) {
                if (s.schedule.begin()->second.report != 0)
                    s.reportOnLine = s.schedule.begin()->second.report;
                outbox.push_back(std::move(s.schedule.begin()->second.bytes));
                s.schedule.erase(s.schedule.begin());
                ++s.unsent;
            }
            if (!s.schedule.empty())
                timeout = millisecondsUntil(s.schedule.begin()->first);
        }

        // Write what is due, as far as the line takes it now.
        while (!outbox.empty()) {
            const std::string &chunk = outbox.front();
            ssize_t put = chunk.empty() ? 0
                                        : ::write(s.master.get(), chunk.data() + writtenOfFirst,
                                                  chunk.size() - writtenOfFirst);
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (put < 0) {
                writtenOfFirst = chunk.size(); // the line is gone: drop the chunk
            } else {
                writtenOfFirst += static_cast<size_t>(put);
            }
            if (writtenOfFirst < chunk.size())
                continue;
            std::lock_guard<std::mutex> hold(s.lock);
            s.sentLog.push_back({chunk, Clock::now()});
            outbox.erase(outbox.begin());
            writtenOfFirst = 0;
            --s.unsent;
            s.changed.notify_all();
        }

        short events = masterSilent ? 0 : static_cast<short>(POLLIN | (outbox.empty() ? 0 : POLLOUT));
        pollfd watch[2] = {{masterSilent ? -1 : s.master.get(), events, 0}, {s.wake.get(), POLLIN, 0}};
        if (poll(watch, 2, timeout) < 0 && errno != EINTR)
            break;
        uint64_t wakes = 0;
        (void)!::read(s.wake.get(), &wakes, sizeof wakes);
        if ((watch[0].revents & POLLIN) == 0) {
            if (watch[0].revents & (POLLHUP | POLLERR | POLLNVAL))
                masterSilent = true;
            continue;
        }

        for (;;) {
            ssize_t got = ::read(s.master.get(), block, sizeof block);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            std::string bytes(block, static_cast<size_t>(got));
            std::lock_guard<std::mutex> hold(s.lock);
            auto now = Clock::now();
            s.receivedLog.push_back({bytes, now});
            s.receivedAll += bytes;
            for (Answer &answer : s.responder.take(bytes)) {
                if (answer.acknowledged) {
                    ++s.acks;
                    // An ACK answers the report on the line, not one placed since and not yet sent.
                    uint64_t answered = s.reportOnLine;
                    std::erase_if(s.schedule, [answered](const auto &entry) {
                        return entry.second.report != 0 && entry.second.report == answered;
                    });
                }
                if (!answer.reply.empty())
                    s.scheduleBytes(now, std::move(answer.reply));
            }
            s.changed.notify_all();
        }
    }

    std::lock_guard<std::mutex> hold(s.lock);
    if (s.vanishRequested) {
        s.master.reset(); // the slave's holder sees a hang-up
        s.slave.reset();
    }
    s.serving = false;
    s.schedule.clear();
    s.unsent = 0;
    s.changed.notify_all();
}

} // namespace kalvix3::sim
