// What the process holds at a moment: threads, open descriptors, resident memory, and the CPU
// time it has used. Read from /proc/self (Linux), for tests that check nothing grows across
// many open/close cycles and that an idle or broken line does not spin. (Under valgrind or a
// sanitizer, see support/time_bounds.h, the counts carry the tool's own threads and memory.)
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/time_bounds.h"

namespace kalvix3::testing {

struct ProcessStats {
    size_t threads = 0;     // entries of /proc/self/task
    size_t descriptors = 0; // entries of /proc/self/fd
    size_t residentKb = 0;  // resident set, from /proc/self/statm
};

ProcessStats processStats();
// The same, once a thread has been started and joined (a sanitizer starts a helper thread of
// its own with the first thread of the process, and a baseline taken before it would be short)
// and the thread count is steady. A check against it asks for no more than it, not for as many:
// a thread that was still leaving /proc when it was taken may be gone by then.
ProcessStats settledProcessStats();
// The reading once the process is back to `baseline` or `bound` has passed, whichever comes
// first. A joined thread can still be listed in /proc/self/task for a moment (the kernel wakes
// the joiner before it removes the task), so a count taken at once can be one too high on a
// loaded machine; a thread or descriptor that is really left behind still shows after the wait.
ProcessStats processStatsBackTo(const ProcessStats &baseline,
                                std::chrono::milliseconds bound = scaled(std::chrono::seconds(1)));
std::string describe(const ProcessStats &stats);

// CPU time (user and system) of the whole process so far, in milliseconds.
double processCpuMs();

} // namespace kalvix3::testing
