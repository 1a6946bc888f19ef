#include "platform/thread.h"

#include "platform/win32/thread_win32.h"

#include <atomic>

#include "platform/win32/handle_win32.h"

namespace kalvix3::platform {

using win32::UniqueHandle;

namespace {
// The running body's send target, on the body's own thread; null on every other thread.
thread_local std::atomic<DWORD> *bodySendTarget = nullptr;
} // namespace

struct Thread::Native {
    UniqueHandle stopEvent{win32::makeEvent(true)}; // set by terminate(); ends stop-aware sleeps
    UniqueHandle thread;                            // created by resume()
    DWORD threadId = 0;
    std::atomic<DWORD> sendTarget{0}; // the thread whose window the body is sending to, or 0

    static DWORD WINAPI start(LPVOID self) {
        auto *thread = static_cast<Thread *>(self);
        bodySendTarget = &thread->native->sendTarget;
        Thread::runBody(thread);
        bodySendTarget = nullptr;
        return 0;
    }
};

void win32::noteSendTarget(DWORD windowThread) {
    if (bodySendTarget != nullptr)
        bodySendTarget->store(windowThread, std::memory_order_release);
}

Thread::Thread() : native(std::make_unique<Native>()) {}

Thread::~Thread() {
    // A derived class has already waited; this only covers a thread that was never stopped.
    if (native->thread) {
        terminate();
        waitFor();
    }
}

void Thread::runBody(Thread *self) {
    self->ThreadMain();
    self->bodyEnded.store(true, std::memory_order_release);
}

void Thread::resume() {
    if (native->thread || bodyEnded.load())
        return;
    DWORD id = 0;
    // Created suspended, so that its id is stored before the body can ask whether it runs on
    // itself (a window procedure closing its line from the first notification).
    HANDLE created = CreateThread(nullptr, 0, &Native::start, this, CREATE_SUSPENDED, &id);
    if (created == nullptr)
        return; // nothing runs; waitFor() returns at once
    native->threadId = id;
    native->thread = UniqueHandle(created);
    if (ResumeThread(created) == static_cast<DWORD>(-1)) {
        TerminateThread(created, 0); // never ran: nothing of the body to undo
        native->thread = UniqueHandle();
        native->threadId = 0;
    }
}

void Thread::terminate() {
    stopFlag.store(true, std::memory_order_release);
    if (native->stopEvent)
        SetEvent(native->stopEvent.get());
    onTerminate();
}

// Messages that other threads send to this thread's windows keep being delivered while it
// waits: a body caught in SendMessageA to such a window can then return, so a close never
// deadlocks against a notification in flight. Posted messages stay queued for the owner's pump.
void Thread::waitFor() {
    if (!native->thread || isCurrentThread())
        return;
    HANDLE body = native->thread.get();
    for (;;) {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD woken = MsgWaitForMultipleObjects(1, &body, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0)
            return;
        if (woken == WAIT_FAILED) {
            WaitForSingleObject(body, INFINITE);
            return;
        }
        // WAIT_OBJECT_0 + 1: a message was sent to this thread; the next peek delivers it.
    }
}

bool Thread::isCurrentThread() const {
    return native->thread && native->threadId == GetCurrentThreadId();
}

// The window procedure of a notification runs on the window's thread while the body waits in
// SendMessageA: a caller there that is handling a sent message, on the very thread the body is
// sending to, is inside that notification.
bool Thread::bodyWaitsOnCaller() const {
    if (isCurrentThread())
        return true;
    return native->thread && InSendMessage() &&
           native->sendTarget.load(std::memory_order_acquire) == GetCurrentThreadId();
}

bool Thread::sleepUnlessStopped(uint32_t ms) {
    if (!native->stopEvent) {
        Sleep(ms);
        return !terminated();
    }
    return WaitForSingleObject(native->stopEvent.get(), ms) == WAIT_TIMEOUT && !terminated();
}

void sleepMs(uint32_t ms) { Sleep(ms); }

} // namespace kalvix3::platform
