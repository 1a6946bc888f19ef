#include "support/line_fixture.h"

#include <cstdlib>
#include <stdexcept>

#include <unistd.h>

namespace kalvix3::testing {

using namespace platform;

ComDirectory::ComDirectory() {
    char name[] = "/tmp/kalvix3-com.XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    directory = name;
    setenv("KALVIX3_COM_DIR", directory.c_str(), 1);
}

ComDirectory::~ComDirectory() {
    unsetenv("KALVIX3_COM_DIR");
    for (const std::string &entry : links)
        unlink(entry.c_str());
    rmdir(directory.c_str());
}

void ComDirectory::link(int port, const std::string &target) {
    std::string entry = directory + "/COM" + std::to_string(port);
    unlink(entry.c_str());
    if (symlink(target.c_str(), entry.c_str()) != 0)
        throw std::runtime_error("symlink failed: " + entry);
    links.push_back(entry);
}

bool PortLog::waitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, limit, condition);
}

bool PortLog::waitUntilListening(std::chrono::milliseconds limit, uint32_t wanted) const {
    return waitFor([&] { return listening && mask == wanted; }, limit);
}

bool PortLog::waitUntilListeningSince(Clock::time_point since, std::chrono::milliseconds limit) const {
    return waitFor([&] { return listening && mask == 0x81 && listeningSince >= since; }, limit);
}

bool PortLog::waitUntilHandledSince(Clock::time_point since, std::chrono::milliseconds limit) const {
    return waitFor([&] {
        return lastCompletion >= since && listening && mask == 0x81 && listeningSince >= lastCompletion;
    }, limit);
}

size_t PortLog::waitStarts() const {
    std::lock_guard<std::mutex> hold(lock);
    return starts;
}

size_t PortLog::waitChecks() const {
    std::lock_guard<std::mutex> hold(lock);
    return checks;
}

std::vector<PortLog::Clock::time_point> PortLog::writeTimes() const {
    std::lock_guard<std::mutex> hold(lock);
    return writes;
}

bool PortLog::isOpen() const {
    std::lock_guard<std::mutex> hold(lock);
    return open;
}

void PortLog::noteOpen(bool value) {
    std::lock_guard<std::mutex> hold(lock);
    open = value;
    listening = false;
    changed.notify_all();
}

void PortLog::noteMask(uint32_t value) {
    std::lock_guard<std::mutex> hold(lock);
    mask = value;
    listening = false;
    changed.notify_all();
}

void PortLog::noteWaitStart(WaitStart result) {
    std::lock_guard<std::mutex> hold(lock);
    ++starts;
    listening = result == WaitStart::Pending;
    if (listening)
        listeningSince = Clock::now();
    else
        lastCompletion = Clock::now();
    changed.notify_all();
}

void PortLog::noteWaitCheck(bool completed) {
    std::lock_guard<std::mutex> hold(lock);
    ++checks;
    if (completed) {
        listening = false;
        lastCompletion = Clock::now();
    }
    changed.notify_all();
}

void PortLog::noteWrite() {
    std::lock_guard<std::mutex> hold(lock);
    writes.push_back(Clock::now());
    changed.notify_all();
}

namespace {

// Forwards every call to the system's port and tells the log.
class ObservedPort final : public SerialPort {
public:
    ObservedPort(std::unique_ptr<SerialPort> port, std::shared_ptr<PortLog> log)
        : inner(std::move(port)), log(std::move(log)) {
        this->log->noteOpen(true);
    }
    ~ObservedPort() override {
        inner.reset();
        log->noteOpen(false);
    }

    bool setupComm(uint32_t in, uint32_t out) override { return inner->setupComm(in, out); }
    bool purge(uint32_t flags) override { return inner->purge(flags); }
    bool setTimeouts(const CommTimeouts &t) override { return inner->setTimeouts(t); }
    bool getState(Dcb &dcb) override { return inner->getState(dcb); }
    bool setState(const Dcb &dcb) override { return inner->setState(dcb); }
    bool setMask(uint32_t mask) override {
        log->noteMask(mask);
        return inner->setMask(mask);
    }
    bool escapeFunction(uint32_t function) override { return inner->escapeFunction(function); }
    WaitStart waitCommEvent() override {
        WaitStart result = inner->waitCommEvent();
        log->noteWaitStart(result);
        return result;
    }
    bool awaitCommEvent(uint32_t timeoutMs) override {
        bool completed = inner->awaitCommEvent(timeoutMs);
        log->noteWaitCheck(completed);
        return completed;
    }
    uint32_t commEvent() const override { return inner->commEvent(); }
    void resetWaitEvent() override { inner->resetWaitEvent(); }
    void interruptWait() override { inner->interruptWait(); }
    bool clearError(uint32_t &errors, uint32_t &inQueue) override {
        return inner->clearError(errors, inQueue);
    }
    uint32_t read(void *buffer, uint32_t count) override { return inner->read(buffer, count); }
    uint32_t write(const void *data, uint32_t count) override {
        log->noteWrite();
        return inner->write(data, count);
    }

private:
    std::unique_ptr<SerialPort> inner;
    std::shared_ptr<PortLog> log;
};

} // namespace

ObservedPorts::ObservedPorts() {
    setSerialPortFactory([this](const char *portName) -> OpenedPort {
        OpenedPort opened = openSystemSerialPort(portName);
        if (!opened.port)
            return opened; // with its reason
        return OpenedPort(std::make_unique<ObservedPort>(std::move(opened.port), log(portName)));
    });
}

ObservedPorts::~ObservedPorts() { setSerialPortFactory(nullptr); }

std::shared_ptr<PortLog> ObservedPorts::log(const std::string &portName) {
    std::lock_guard<std::mutex> hold(lock);
    auto &entry = logs[portName];
    if (!entry)
        entry = std::make_shared<PortLog>();
    return entry;
}

} // namespace kalvix3::testing
