// What the benchmarks of kalvix3_bench share: spreads of samples, the report of figures beside
// their floors and targets, a host window that notes when calls arrive, a temporary COM
// directory, per-thread CPU and wake-up counters, and the process's resident size.
//
// Every wait here has a limit; nothing blocks for good.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kalvix3.h"

namespace kalvix3::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ---- Figures ------------------------------------------------------------------------------

struct Spread {
    double median = 0, p99 = 0, worst = 0, best = 0; // in the samples' unit
    size_t samples = 0;
};
Spread spreadOf(std::vector<double> values);
double microseconds(Clock::duration d);
double milliseconds(Clock::duration d);
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

// One figure of the report: what was measured, its value, the floor it is measured against,
// the target and the verdict ("met", "MISSED", or "-" for a figure without a target).
struct Row {
    std::string section;
    std::string what;
    std::string figure;
    std::string floor;
    std::string target;
    std::string verdict;
};

class Report {
public:
    static Report &instance();
    void add(Row row);
    // A note printed under the section's table (how it was measured, what the floor is).
    void note(const std::string &section, const std::string &text);
    void print() const; // plain text on standard output
    // Tab-separated lines, one a figure (section, what, figure, floor, target, verdict) or note
    // (section, "#note", text), for scripts/perf.sh to merge and render.
    bool writeRows(const std::string &path) const;
    bool anyMissed() const;

private:
    std::vector<Row> rows;
    std::vector<std::pair<std::string, std::string>> notes;
    std::vector<std::string> sections; // in order of first appearance
    void addSection(const std::string &section);
};

inline const char *verdict(bool met) { return met ? "met" : "MISSED"; }

// ---- Host window --------------------------------------------------------------------------

// A host window whose procedure notes the arrival time of every caller-number message and the
// thread it came on. Room for `capacity` arrivals is taken up front, so the procedure itself
// never allocates (the allocation counts of the receive threads stay the library's own).
class BenchWindow {
public:
    explicit BenchWindow(size_t capacity = 1024);
    Kalvix3HostWindow *handle() { return &window; }

    // Arrival time of caller-number message `index` (0-based); none after the limit.
    std::optional<Clock::time_point> arrival(size_t index, Clock::duration limit);
    size_t count();
    int lastThread(); // the thread id of the last notification (0: none yet)
    std::string lastNumber();
    // Runs inside the procedure on the notifying thread, after the arrival is noted, with the
    // index of the call; must not allocate. Set before the line opens.
    void (*onArrival)(void *context, size_t index) = nullptr;
    void *onArrivalContext = nullptr;

private:
    static intptr_t procedure(void *window, uint32_t message, uintptr_t, intptr_t lParam);

    Kalvix3HostWindow window;
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<Clock::time_point> times;
    size_t capacity;
    int thread = 0;
    char number[32] = {};
};

// ---- COM directory ------------------------------------------------------------------------

// A fresh directory set as KALVIX3_COM_DIR for the object's lifetime.
class ComDirectory {
public:
    ComDirectory();
    ~ComDirectory();
    ComDirectory(const ComDirectory &) = delete;
    ComDirectory &operator=(const ComDirectory &) = delete;
    void link(int port, const std::string &target);

private:
    std::string path;
    std::vector<std::string> links;
};

// ---- Threads and memory -------------------------------------------------------------------

int currentThreadId();
std::set<int> threadIds(); // the threads of this process

// CPU nanoseconds (schedstat) and context switches (voluntary and not) of one thread.
struct ThreadCost {
    double cpuNs = 0;
    long switches = 0;
};
ThreadCost threadCost(int tid);

// The process's resident size and its file-backed (shared) part, in KiB.
struct Resident {
    long totalKiB = 0;
    long sharedKiB = 0;
    long privateKiB() const { return totalKiB - sharedKiB; }
};
Resident residentNow();

// The machine's load average over the last minute, from /proc/loadavg.
double loadAverage();

} // namespace kalvix3::bench
