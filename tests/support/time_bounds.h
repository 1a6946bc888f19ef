// How much slower than a plain native build the tests run, for the upper bounds of their waits
// and timings: a sanitizer, valgrind and wine all stretch every step. Every upper bound in the
// tests goes through scaled(); lower bounds (a pause the library must keep) stay as they are.
#pragma once

#include <chrono>

namespace kalvix3::testing {

// True under valgrind, whose own threads and memory make process counts meaningless.
bool underValgrind();
// True in a build with the address or thread sanitizer: slower, and with memory of its own.
bool sanitizedBuild();
// True for a Windows build running under wine.
bool underWine();
// How much longer than on a plain build a bounded wait may take: 1; 4 under a sanitizer or
// wine; 20 under valgrind.
int slowdown();
std::chrono::milliseconds scaled(std::chrono::milliseconds limit);

} // namespace kalvix3::testing
