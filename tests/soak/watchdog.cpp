#include "watchdog.h"

#include <cstdio>
#include <cstdlib>

#include "support/process_stats.h"

namespace kalvix3::testing {

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               SoakClock::now().time_since_epoch())
        .count();
}

} // namespace

int soakSeconds(int fallback) {
    const char *configured = std::getenv("KALVIX3_SOAK_SECONDS");
    if (configured == nullptr || *configured == '\0')
        return fallback;
    int seconds = std::atoi(configured);
    return seconds > 0 ? seconds : fallback;
}

Watchdog::Watchdog(std::chrono::seconds total, std::chrono::seconds stall)
    : total(total), stall(stall), lastProgress(nowMs()), watcher([this] { watch(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    wake.notify_all();
    watcher.join();
}

void Watchdog::progress(int actor, const char *where) {
    lastProgress.store(nowMs());
    if (actor >= 0 && actor < kActors)
        doing[actor].store(where);
}

void Watchdog::watch() {
    std::unique_lock<std::mutex> hold(lock);
    while (!wake.wait_for(hold, std::chrono::seconds(1), [this] { return stopping; })) {
        int64_t quiet = nowMs() - lastProgress.load();
        bool stalled = quiet > std::chrono::milliseconds(stall).count();
        bool overdue = SoakClock::now() - started > total;
        if (!stalled && !overdue)
            continue;
        std::fprintf(stderr, "soak watchdog: %s (nothing moved for %lld ms)\n",
                     overdue ? "the run overstayed its time" : "a hang",
                     static_cast<long long>(quiet));
        for (int i = 0; i < kActors; ++i)
            if (const char *where = doing[i].load())
                std::fprintf(stderr, "  actor %d: %s\n", i, where);
        std::fflush(stderr);
        std::abort();
    }
}

} // namespace kalvix3::testing
