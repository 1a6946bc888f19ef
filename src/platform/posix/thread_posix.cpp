#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kalvix3::platform {

struct Thread::Native {
    std::thread worker;
    std::mutex lock;
    std::condition_variable stopRequested;
};

Thread::Thread() : native(std::make_unique<Native>()) {}

Thread::~Thread() {
    // A derived class has already waited; this only covers a thread that was never started.
    if (native->worker.joinable()) {
        terminate();
        native->worker.join();
    }
}

void Thread::runBody(Thread *self) {
    self->ThreadMain();
    self->bodyEnded.store(true, std::memory_order_release);
}

void Thread::resume() {
    if (!native->worker.joinable() && !bodyEnded.load())
        native->worker = std::thread(&Thread::runBody, this);
}

void Thread::terminate() {
    {
        std::lock_guard<std::mutex> hold(native->lock);
        stopFlag.store(true, std::memory_order_release);
    }
    native->stopRequested.notify_all();
    onTerminate();
}

void Thread::waitFor() {
    if (native->worker.joinable() && native->worker.get_id() != std::this_thread::get_id())
        native->worker.join();
}

bool Thread::isCurrentThread() const {
    return native->worker.get_id() == std::this_thread::get_id();
}

// A host window procedure runs on the sending thread here, so only the body's own thread counts.
bool Thread::bodyWaitsOnCaller() const { return isCurrentThread(); }

bool Thread::sleepUnlessStopped(uint32_t ms) {
    std::unique_lock<std::mutex> hold(native->lock);
    return !native->stopRequested.wait_for(hold, std::chrono::milliseconds(ms),
                                           [this] { return terminated(); });
}

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

} // namespace kalvix3::platform
