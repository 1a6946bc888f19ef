// The recorder: takes the caller numbers that the library's receive threads hand over, and on
// its own thread turns each into a call (UTF-8 text, the reason in words, the phonebook's name),
// commits it to the call store, and only then announces it. The receive thread does no more
// than copy the bytes into a bounded queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "announcer.h"
#include "config/config.h"
#include "store/call_store.h"

namespace kalvix3d {

struct Heard {
    int slot = 0;
    std::string bytes; // code page 932, as the device sent it
    std::chrono::steady_clock::time_point when;
    std::time_t wallTime = 0;
    std::int64_t wallMs = 0; // the same to the millisecond
};

// A call of a configured line at `wallTime`, with its reason and the phonebook's name and note
// filled in.
Call makeCall(const Config &config, const LineConfig &line, const std::string &deviceBytes,
              std::time_t wallTime, CallOrigin origin, CallJournal &store);

class Recorder {
public:
    static constexpr size_t kCapacity = 1024;

    Recorder(const Config &config, CallJournal &store, Announcer &announcer);
    ~Recorder(); // stop()
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // From a receive thread. Waits at most 2 s for room (the store is stuck); false when the
    // call could not be queued (it is logged with its number, so it is not lost without trace).
    bool hand(Heard heard);
    // Records everything already handed over, then ends the thread.
    void stop();

private:
    void run();
    void record(const Heard &heard);

    const Config &config;
    CallJournal &store;
    Announcer &announcer;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Heard> queue;
    bool stopping = false;
    std::thread worker;
};

} // namespace kalvix3d
