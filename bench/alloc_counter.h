// Counts heap allocations of the whole process, per thread and per calling module. The
// benchmark executable defines malloc, calloc, realloc, free and the global operator new and
// delete (alloc_counter.cpp); since the library and the stand-in driver are shared objects,
// their calls land here too. Each allocation is counted for the thread that made it and for the
// module its immediate caller lies in (the library, the stand-in driver, or anything else:
// the benchmark, the C and C++ runtimes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalvix3::bench::alloc {

enum Module { Library = 0, StandIn = 1, Other = 2, ModuleCount = 3 };

struct ThreadCounts {
    int tid = 0;
    uint64_t allocations[ModuleCount] = {};
    uint64_t bytes = 0;
    uint64_t total() const { return allocations[Library] + allocations[StandIn] + allocations[Other]; }
};

// Notes the address ranges of the loaded library and stand-in driver (call after both are
// loaded; until then their allocations count as Other). Never allocates while counting.
void locateModules(const std::string &libraryName, const std::string &standInName);

// The counts of every thread seen so far. Allocates (call it outside measured windows, or
// into a vector reserved beforehand with `into`).
std::vector<ThreadCounts> snapshot();
// Fills `into` (whose capacity must suffice, see kMaxThreads) without allocating.
void snapshotInto(std::vector<ThreadCounts> &into);

constexpr size_t kMaxThreads = 256;

// What happened between two snapshots, per thread (threads missing from `before` start at 0).
std::vector<ThreadCounts> difference(const std::vector<ThreadCounts> &before,
                                     const std::vector<ThreadCounts> &after);

// True when the counting shim is in place (the executable's definitions are the ones in use).
bool active();

} // namespace kalvix3::bench::alloc
