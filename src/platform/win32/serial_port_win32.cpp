// COM ports as overlapped Win32 handles: the comm calls themselves, one per seam operation.
#include "platform/serial_port.h"

#include <atomic>

#include "platform/win32/comm_state_win32.h"
#include "platform/win32/handle_win32.h"

namespace kalvix3::platform {

namespace {

using win32::UniqueHandle;

constexpr DWORD kReadWriteAccess = 0xC0000000;       // GENERIC_READ | GENERIC_WRITE
constexpr DWORD kExclusive = 0;                      // share mode: no one else may open it
constexpr DWORD kOverlappedNormal = 0x40000080;      // FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL
// Reads take only what is queued and writes end within the line's 10 s write time-out; these
// bounds only guard against a driver that never completes an operation.
constexpr DWORD kTransferBoundMs = 30000;
constexpr DWORD kCancelBoundMs = 5000;

// What a CreateFileA error on a port means to a host. A port that another process holds open
// answers ERROR_ACCESS_DENIED, since ports are opened without sharing.
OpenFailure openFailureOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return OpenFailure::NoSuchDevice;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return OpenFailure::Locked;
    default:
        return OpenFailure::Other;
    }
}

// The three overlapped records, each with its own manual-reset event, and the event word of
// WaitCommEvent. They are held apart from the port so that, should a driver never finish a
// cancelled operation, they can be left allocated instead of being freed under its feet.
struct OverlappedState {
    DWORD creationError = 0; // GetLastError of the first event that could not be created
    UniqueHandle readEvent{noted(win32::makeEvent(true))};
    UniqueHandle waitEvent{noted(win32::makeEvent(true))};
    UniqueHandle writeEvent{noted(win32::makeEvent(true))};
    OVERLAPPED ovRead{};
    OVERLAPPED ovWait{};
    OVERLAPPED ovWrite{};
    DWORD eventWord = 0; // written by the system when a pending wait completes

    bool valid() const { return readEvent && waitEvent && writeEvent; }
    int32_t error() const { return static_cast<int32_t>(creationError); }
    UniqueHandle noted(UniqueHandle event) {
        if (!event && creationError == 0)
            creationError = GetLastError();
        return event;
    }
    OverlappedState() {
        ovRead.hEvent = readEvent.get();
        ovWait.hEvent = waitEvent.get();
        ovWrite.hEvent = writeEvent.get();
    }
};

class Win32SerialPort final : public SerialPort {
public:
    Win32SerialPort(std::unique_ptr<OverlappedState> state, UniqueHandle interrupt,
                    UniqueHandle handle)
        : io(std::move(state)), interruptEvent(std::move(interrupt)), port(std::move(handle)) {}

    // A wait that is still pending refers to ovWait and the event word: it is completed (mask
    // 0), or cancelled, before anything is released.
    ~Win32SerialPort() override {
        if (waitPending.load(std::memory_order_acquire) && !finishPendingWait()) {
            port.reset();
            (void)io.release(); // the driver still owns the record: keep it, and its event
            return;
        }
        port.reset(); // the port first, then the events (members, in reverse order)
    }

    int32_t lastSystemError() const override { return failure.load(std::memory_order_relaxed); }

    bool setupComm(uint32_t inQueue, uint32_t outQueue) override {
        return succeeded(SetupComm(port.get(), inQueue, outQueue));
    }
    bool purge(uint32_t flags) override { return succeeded(PurgeComm(port.get(), flags)); }
    bool setTimeouts(const CommTimeouts &timeouts) override {
        COMMTIMEOUTS native = win32::toNativeTimeouts(timeouts);
        return succeeded(SetCommTimeouts(port.get(), &native));
    }
    bool getState(Dcb &dcb) override {
        DCB native{};
        native.DCBlength = sizeof native;
        if (!succeeded(GetCommState(port.get(), &native)))
            return false;
        dcb = win32::fromNativeDcb(native);
        return true;
    }
    bool setState(const Dcb &dcb) override {
        DCB native = win32::toNativeDcb(dcb);
        return succeeded(SetCommState(port.get(), &native));
    }
    bool setMask(uint32_t mask) override { return succeeded(SetCommMask(port.get(), mask)); }
    bool escapeFunction(uint32_t function) override {
        return succeeded(EscapeCommFunction(port.get(), function));
    }

    WaitStart waitCommEvent() override {
        // A wait left pending (the thread stopped mid-wait) still owns the event word; it is
        // not started twice.
        if (waitPending.load(std::memory_order_acquire))
            return WaitStart::Pending;
        io->eventWord = 0;
        if (WaitCommEvent(port.get(), &io->eventWord, &io->ovWait))
            return WaitStart::Completed;
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            io->eventWord = 0;
            return WaitStart::Failed;
        }
        waitPending.store(true, std::memory_order_release);
        return WaitStart::Pending;
    }

    bool awaitCommEvent(uint32_t timeoutMs) override {
        if (!waitPending.load(std::memory_order_acquire))
            return true;
        HANDLE events[2] = {io->waitEvent.get(), interruptEvent.get()};
        DWORD woken = WaitForMultipleObjects(2, events, FALSE, timeoutMs);
        if (woken == WAIT_OBJECT_0) {
            collectWait();
            return true;
        }
        if (woken == WAIT_FAILED)
            Sleep(timeoutMs); // never spin, even on broken handles
        return false;         // time-out, or interruptWait() (the auto-reset event is consumed)
    }

    uint32_t commEvent() const override { return io->eventWord; }
    void resetWaitEvent() override { ResetEvent(io->waitEvent.get()); }
    void interruptWait() override { SetEvent(interruptEvent.get()); }

    bool clearError(uint32_t &errors, uint32_t &inQueue) override {
        DWORD errorWord = 0;
        COMSTAT status{};
        if (!ClearCommError(port.get(), &errorWord, &status)) {
            errors = 0;
            inQueue = 0;
            return false;
        }
        errors = errorWord;
        inQueue = status.cbInQue;
        return true;
    }

    uint32_t read(void *buffer, uint32_t count) override {
        DWORD got = 0;
        if (!ReadFile(port.get(), buffer, count, &got, &io->ovRead)) {
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                got = 0;
                finishTransfer(io->ovRead, got);
            }
        }
        ResetEvent(io->readEvent.get());
        return got;
    }

    uint32_t write(const void *data, uint32_t count) override {
        DWORD written = 0;
        if (!WriteFile(port.get(), data, count, &written, &io->ovWrite)) {
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                written = 0;
                finishTransfer(io->ovWrite, written);
            }
        }
        ResetEvent(io->writeEvent.get());
        return written;
    }

private:
    // Keeps GetLastError of a failed call, taken at once.
    bool succeeded(BOOL result) {
        if (result == FALSE)
            failure.store(static_cast<int32_t>(GetLastError()), std::memory_order_relaxed);
        return result != FALSE;
    }

    std::atomic<int32_t> failure{0};

    // Waits for a read or write to complete. Past the bound the operation is cancelled and its
    // cancellation waited for, so the record is never reused while the system holds it.
    void finishTransfer(OVERLAPPED &record, DWORD &count) {
        if (WaitForSingleObject(record.hEvent, kTransferBoundMs) != WAIT_OBJECT_0)
            CancelIoEx(port.get(), &record);
        GetOverlappedResult(port.get(), &record, &count, TRUE); // count: what was transferred
    }

    // The pending wait has completed: fetch its result; a failed wait reads as event word 0.
    void collectWait() {
        DWORD unused = 0;
        if (!GetOverlappedResult(port.get(), &io->ovWait, &unused, FALSE))
            io->eventWord = 0;
        waitPending.store(false, std::memory_order_release);
    }

    // Ends a wait still pending at close: clearing the mask completes it with event word 0;
    // cancelling is the fallback. False when the driver still holds it after both.
    bool finishPendingWait() {
        SetCommMask(port.get(), 0);
        if (WaitForSingleObject(io->waitEvent.get(), kCancelBoundMs) != WAIT_OBJECT_0) {
            CancelIoEx(port.get(), &io->ovWait);
            if (WaitForSingleObject(io->waitEvent.get(), kCancelBoundMs) != WAIT_OBJECT_0)
                return false;
        }
        collectWait();
        return true;
    }

    std::unique_ptr<OverlappedState> io;
    UniqueHandle interruptEvent; // auto-reset: one interruptWait() ends one awaitCommEvent
    UniqueHandle port;
    std::atomic<bool> waitPending{false};
};

} // namespace

OpenedPort openSystemSerialPort(const char *portName) {
    const std::string name = portName != nullptr ? portName : "";
    auto io = std::make_unique<OverlappedState>();
    if (!io->valid())
        return OpenedPort::failed(OpenFailure::Other, io->error(), name);
    UniqueHandle interrupt = win32::makeEvent(false);
    if (!interrupt)
        return OpenedPort::failed(OpenFailure::Other, static_cast<int32_t>(GetLastError()), name);
    HANDLE opened = CreateFileA(portName, kReadWriteAccess, kExclusive, nullptr, OPEN_EXISTING,
                                kOverlappedNormal, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError(); // before the events above are closed
        return OpenedPort::failed(openFailureOf(error), static_cast<int32_t>(error), name);
    }
    return OpenedPort(std::make_unique<Win32SerialPort>(std::move(io), std::move(interrupt),
                                                        UniqueHandle(opened)));
}

} // namespace kalvix3::platform
