#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kalvix3::platform {

// `worker` is written by resume() and taken by waitFor(), which may run on different threads
// (a line opened by the host and closed from another line's notification): both hold `lock`.
// The body's own identity is published by the body itself before anything else, so a body
// that asks at once whether it runs on itself (a window procedure closing its line from the
// first notification) never sees the std::thread still being stored.
struct Thread::Native {
    std::thread worker;
    std::atomic<std::thread::id> body{};
    std::mutex lock;
    std::condition_variable stopRequested;
};

Thread::Thread() : native(std::make_unique<Native>()) {}

Thread::~Thread() {
    // A derived class has already waited; this only covers a thread that was never stopped.
    bool running;
    {
        std::lock_guard<std::mutex> hold(native->lock);
        running = native->worker.joinable();
    }
    if (running) {
        terminate();
        waitFor();
    }
}

void Thread::runBody(Thread *self) {
    self->native->body.store(std::this_thread::get_id(), std::memory_order_release);
    self->ThreadMain();
    self->bodyEnded.store(true, std::memory_order_release);
}

void Thread::resume() {
    std::lock_guard<std::mutex> hold(native->lock);
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
    std::thread ending;
    {
        std::lock_guard<std::mutex> hold(native->lock);
        if (!native->worker.joinable() || isCurrentThread())
            return;
        ending = std::move(native->worker);
    }
    ending.join();
}

bool Thread::isCurrentThread() const {
    return native->body.load(std::memory_order_acquire) == std::this_thread::get_id();
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
