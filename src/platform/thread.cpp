#include "platform/thread.h"

namespace kalvix3::platform {

namespace {
thread_local Thread *runningBody = nullptr;
} // namespace

Thread *Thread::current() { return runningBody; }

void Thread::markCurrent(Thread *self) { runningBody = self; }

} // namespace kalvix3::platform
