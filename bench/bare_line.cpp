#include "bare_line.h"

#include <condition_variable>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kalvix3::bench {

namespace {

constexpr auto kFramePause = 100ms;

void callWindow(BenchWindow &window) {
    char number[] = "0312345678";
    CopyDataRecord record{KALVIX3_CALLER_NUMBER_CODE, 10, number};
    window.handle()->proc(window.handle(), KALVIX3_CALLER_NUMBER_MESSAGE, 1,
                          reinterpret_cast<intptr_t>(&record));
}

void signalStop(int fd) {
    uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

} // namespace

BareLine::BareLine(bool acknowledge, size_t capacity) : window(capacity), acknowledge(acknowledge) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || unlockpt(master) != 0)
        throw std::runtime_error("posix_openpt");
    slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    stopFd = eventfd(0, EFD_CLOEXEC);
    if (slave < 0 || stopFd < 0)
        throw std::runtime_error("bare line");
    for (int fd : {master, slave}) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    worker = std::thread(&BareLine::run, this);
}

BareLine::~BareLine() {
    signalStop(stopFd);
    worker.join();
    ::close(stopFd);
    ::close(slave);
    ::close(master);
}

Clock::time_point BareLine::send(const std::string &frame) {
    char discard[256];
    while (::read(master, discard, sizeof discard) > 0) {
    } // the previous acknowledgement
    (void)!::write(master, frame.data(), frame.size());
    return Clock::now();
}

void BareLine::run() {
    std::mutex lock;
    std::condition_variable pause;
    char buffer[512];
    for (;;) {
        pollfd watch[2] = {{slave, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(watch, 2, 200) <= 0)
            continue;
        if (watch[1].revents)
            return;
        while (::read(slave, buffer, sizeof buffer) > 0) {
        }
        std::unique_lock<std::mutex> hold(lock);
        pause.wait_for(hold, kFramePause, [] { return false; });
        hold.unlock();
        tcflush(slave, TCIOFLUSH);
        if (acknowledge)
            (void)!::write(slave, "\x06\r\n", 3);
        callWindow(window);
    }
}

BareEventLine::BareEventLine(size_t capacity) : window(capacity) {
    event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    stopFd = eventfd(0, EFD_CLOEXEC);
    if (event < 0 || stopFd < 0)
        throw std::runtime_error("eventfd");
    worker = std::thread(&BareEventLine::run, this);
}

BareEventLine::~BareEventLine() {
    signalStop(stopFd);
    worker.join();
    ::close(stopFd);
    ::close(event);
}

Clock::time_point BareEventLine::signal() {
    auto now = Clock::now();
    signalStop(event);
    return now;
}

void BareEventLine::run() {
    for (;;) {
        pollfd watch[2] = {{event, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(watch, 2, 200) <= 0)
            continue;
        if (watch[1].revents)
            return;
        uint64_t value = 0;
        (void)!::read(event, &value, sizeof value);
        callWindow(window);
    }
}

BarePoller::BarePoller()
    : worker([this] {
          started = Clock::now().time_since_epoch().count();
          std::unique_lock<std::mutex> hold(lock);
          while (!stop.wait_for(hold, 1s, [this] { return stopping; })) {
          }
      }) {}

BarePoller::~BarePoller() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    stop.notify_all();
    worker.join();
}

BarePort::BarePort(const std::string &path) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("bare open " + path);
    }
    ioctl(fd, TIOCEXCL);
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    termios tio{};
    tcgetattr(fd, &tio);
    tcflush(fd, TCIOFLUSH);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B19200);
    tcsetattr(fd, TCSANOW, &tio);
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &dtr); // refused by a pseudo-terminal, as the library's is
    worker = std::thread([this] {
        for (;;) {
            pollfd watch[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
            poll(watch, 2, 200);
            if (watch[1].revents)
                return;
        }
    });
}

BarePort::~BarePort() {
    signalStop(wake);
    worker.join();
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    tcflush(fd, TCIOFLUSH);
    ::close(wake);
    ::close(fd);
}

} // namespace kalvix3::bench
