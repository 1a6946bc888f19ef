// What the process holds at a moment: threads, open descriptors, resident memory, and the CPU
// time it has used. Read from /proc/self (Linux), for tests that check nothing grows across
// many open/close cycles and that an idle or broken line does not spin. And how much slower
// than a plain build the process runs, for the bounds of those tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kalvix3::testing {

struct ProcessStats {
    size_t threads = 0;     // entries of /proc/self/task
    size_t descriptors = 0; // entries of /proc/self/fd
    size_t residentKb = 0;  // resident set, from /proc/self/statm
};

ProcessStats processStats();
// The same, once a thread has been started and joined: a sanitizer starts a helper thread of
// its own with the first thread of the process, and a baseline taken before it would be short.
ProcessStats settledProcessStats();
std::string describe(const ProcessStats &stats);

// CPU time (user and system) of the whole process so far, in milliseconds.
double processCpuMs();

// True under valgrind, whose own threads and memory make the counts above meaningless.
bool underValgrind();
// True in a build with the address or thread sanitizer: slower, and with memory of its own.
bool sanitizedBuild();
// How much longer than on a plain build a bounded wait may take: 1, 4 under a sanitizer, 20
// under valgrind.
int slowdown();
std::chrono::milliseconds scaled(std::chrono::milliseconds limit);

} // namespace kalvix3::testing
