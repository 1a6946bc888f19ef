// What bounds a soak: how long it runs, how much slower the checks may be under a sanitizer or
// valgrind, and a watchdog that ends the process with a report when nothing moves for too long
// (a hang) or the run overstays its time by far.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "support/time_bounds.h" // slowdown(), scaled()

namespace kalvix3::testing {

using SoakClock = std::chrono::steady_clock;

// Seconds a soak part runs: KALVIX3_SOAK_SECONDS when set, else `fallback`.
int soakSeconds(int fallback);

class Watchdog {
public:
    // Aborts the process when no progress is reported for `stall`, or after `total`.
    Watchdog(std::chrono::seconds total, std::chrono::seconds stall);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    // Something moved; `where` says what each actor is doing, for the report.
    void progress(int actor, const char *where);

private:
    void watch();
    static constexpr int kActors = 4;
    SoakClock::time_point started = SoakClock::now();
    std::chrono::seconds total, stall;
    std::atomic<int64_t> lastProgress;
    std::atomic<const char *> doing[kActors] = {};
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::thread watcher;
};

} // namespace kalvix3::testing
