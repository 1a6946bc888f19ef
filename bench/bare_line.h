// The floor of a serial line's work on this machine: the same steps without the library. A
// thread waits in poll() (200 ms slices) on the slave side of a pseudo-terminal, reads what
// came, sleeps the 100 ms pause after a frame, flushes, writes the acknowledgement (for STX
// frames) and calls the window procedure. Its own BenchWindow notes the arrivals.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "bench_support.h"

namespace kalvix3::bench {

class BareLine {
public:
    explicit BareLine(bool acknowledge, size_t capacity = 1024);
    ~BareLine();
    BareLine(const BareLine &) = delete;
    BareLine &operator=(const BareLine &) = delete;

    // Writes a frame as the device would; the time its last byte was written.
    Clock::time_point send(const std::string &frame);
    BenchWindow window;

private:
    void run();

    bool acknowledge;
    int master = -1, slave = -1, stopFd = -1;
    std::thread worker;
};

// The floor of an event-driven USB line: a thread waits on an eventfd in 200 ms slices and
// calls the window procedure when it is signalled.
class BareEventLine {
public:
    explicit BareEventLine(size_t capacity = 1024);
    ~BareEventLine();
    BareEventLine(const BareEventLine &) = delete;
    BareEventLine &operator=(const BareEventLine &) = delete;

    Clock::time_point signal(); // the time just before the event was signalled
    BenchWindow window;

private:
    void run();
    int event = -1, stopFd = -1;
    std::thread worker;
};

// The floor of the polling USB line between status reads: a thread that sleeps in one-second
// steps until it is stopped.
class BarePoller {
public:
    BarePoller();
    ~BarePoller();
    BarePoller(const BarePoller &) = delete;
    BarePoller &operator=(const BarePoller &) = delete;
    std::atomic<Clock::rep> started{0}; // when the thread began to run

private:
    std::mutex lock;
    std::condition_variable stop;
    bool stopping = false;
    std::thread worker;
};

// The open and close of a serial port without the library: open, flock and TIOCEXCL, termios
// set-up, a wake-up eventfd and a thread waiting in poll() (200 ms slices); destruction stops
// and joins the thread, gives the claim up and closes.
class BarePort {
public:
    explicit BarePort(const std::string &path);
    ~BarePort();
    BarePort(const BarePort &) = delete;
    BarePort &operator=(const BarePort &) = delete;

private:
    int fd = -1, wake = -1;
    std::thread worker;
};

} // namespace kalvix3::bench
