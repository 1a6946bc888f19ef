#include "support/process_stats.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace kalvix3::testing {

namespace {

// Entries of a /proc directory, without "." and ".."; the descriptor that reads /proc/self/fd
// is left out of its own count.
size_t entriesOf(const char *path, bool ownDescriptor) {
    DIR *directory = opendir(path);
    if (directory == nullptr)
        return 0;
    size_t count = 0;
    while (dirent *entry = readdir(directory))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ++count;
    closedir(directory);
    return ownDescriptor && count > 0 ? count - 1 : count;
}

} // namespace

ProcessStats processStats() {
    ProcessStats stats;
    stats.threads = entriesOf("/proc/self/task", false);
    stats.descriptors = entriesOf("/proc/self/fd", true);
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    if (statm >> pages >> resident)
        stats.residentKb = resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
    return stats;
}

ProcessStats settledProcessStats() {
    std::thread([] {}).join();
    // Until the joined thread (and any other just ended) has left /proc: the same count twice
    // in a row, 5 ms apart, within a bounded time.
    const auto deadline = std::chrono::steady_clock::now() + scaled(std::chrono::seconds(1));
    ProcessStats now = processStats();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ProcessStats next = processStats();
        if (next.threads == now.threads || std::chrono::steady_clock::now() >= deadline)
            return next;
        now = next;
    }
}

ProcessStats processStatsBackTo(const ProcessStats &baseline, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    ProcessStats now = processStats();
    while ((now.threads > baseline.threads || now.descriptors > baseline.descriptors) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        now = processStats();
    }
    return now;
}

std::string describe(const ProcessStats &stats) {
    return std::to_string(stats.threads) + " threads, " + std::to_string(stats.descriptors) +
           " descriptors, " + std::to_string(stats.residentKb) + " kB resident";
}

double processCpuMs() {
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) * 1000.0 + static_cast<double>(used.tv_nsec) / 1e6;
}

} // namespace kalvix3::testing
