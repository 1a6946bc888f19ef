// The thread base of the receive threads: created suspended, started by resume(), asked to stop
// by terminate() (a stop flag the body polls), and waited for by stopAndWait(). Sleeps and waits
// taken through it end early when a stop is requested, so a line closes promptly.
//
// On Windows the wait for the thread's end keeps delivering messages sent to the waiting thread,
// so a receive thread caught in a notification to a window of that thread can finish.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kalvix3::platform {

class Thread {
public:
    Thread();
    virtual ~Thread(); // derived destructors call stopAndWait() before their members go

    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    void resume();          // starts the body; once
    void terminate();       // sets the stop flag and wakes stop-aware waits
    bool terminated() const { return stopFlag.load(std::memory_order_acquire); }
    void waitFor();         // returns when the body has ended (at once if never started)
    void stopAndWait() {
        terminate();
        waitFor();
    }
    bool finished() const { return bodyEnded.load(std::memory_order_acquire); }
    bool isCurrentThread() const; // true on the thread that runs the body
    // True when the body is waiting on the calling thread, so the caller must not wait for the
    // body: on the body's own thread, and on Windows also in a window procedure that handles a
    // message the body is sending (it runs on the window's thread, the body blocked meanwhile).
    bool bodyWaitsOnCaller() const;

protected:
    virtual void ThreadMain() = 0;
    // Hook called by terminate() after the flag is set: wake whatever the body waits on.
    virtual void onTerminate() {}
    // Sleeps ms milliseconds or until a stop is requested; false when a stop was requested.
    bool sleepUnlessStopped(uint32_t ms);

private:
    struct Native;
    static void runBody(Thread *self);
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> bodyEnded{false};
    std::unique_ptr<Native> native;
};

void sleepMs(uint32_t ms);

} // namespace kalvix3::platform
