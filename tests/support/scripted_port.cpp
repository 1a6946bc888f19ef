#include "support/scripted_port.h"

#include <algorithm>

namespace kalvix3::testing {

using namespace platform;

ScriptedDevice::ScriptedDevice(std::string portName) : name(std::move(portName)) {
    driverState.BaudRate = 1200;
    driverState.ByteSize = 8;
    driverState.XonLim = 2048;
    driverState.XoffLim = 512;
    driverState.XonChar = 0x11;
    driverState.XoffChar = 0x13;
    driverState.EofChar = 0x1A;
    driverState.fDummy2 = 0x5;
    state = driverState;
}

void ScriptedDevice::recordCall(const std::string &call) { callLog.push_back(call); }

void ScriptedDevice::completeWait(uint32_t word) {
    eventWord = word;
    waiting = false;
    changed.notify_all();
}

void ScriptedDevice::raise(uint32_t bits) {
    uint32_t seen = bits & mask;
    if (seen == 0)
        return;
    if (waiting)
        completeWait(seen);
    else
        history |= seen;
}

void ScriptedDevice::inject(const std::string &bytes) {
    std::lock_guard<std::mutex> hold(lock);
    input.insert(input.end(), bytes.begin(), bytes.end());
    raise(EV_RXCHAR);
    changed.notify_all();
}

void ScriptedDevice::injectError(uint32_t word) {
    std::lock_guard<std::mutex> hold(lock);
    errorWord |= word;
    raise(EV_ERR);
    changed.notify_all();
}

void ScriptedDevice::injectEvent(uint32_t bits) {
    std::lock_guard<std::mutex> hold(lock);
    raise(bits);
    changed.notify_all();
}

void ScriptedDevice::onWrite(std::function<void(const std::string &)> handler) {
    std::lock_guard<std::mutex> hold(lock);
    responder = std::move(handler);
}

void ScriptedDevice::failStep(const std::string &step) {
    std::lock_guard<std::mutex> hold(lock);
    failing.insert(step);
}

void ScriptedDevice::setDriverState(const Dcb &dcb) {
    std::lock_guard<std::mutex> hold(lock);
    driverState = dcb;
}

std::vector<RecordedWrite> ScriptedDevice::writes() const {
    std::lock_guard<std::mutex> hold(lock);
    return writeLog;
}

std::string ScriptedDevice::written() const {
    std::lock_guard<std::mutex> hold(lock);
    std::string all;
    for (const RecordedWrite &w : writeLog)
        all += w.bytes;
    return all;
}

std::vector<uint32_t> ScriptedDevice::masks() const {
    std::lock_guard<std::mutex> hold(lock);
    return maskLog;
}
std::vector<uint32_t> ScriptedDevice::escapes() const {
    std::lock_guard<std::mutex> hold(lock);
    return escapeLog;
}
std::vector<uint32_t> ScriptedDevice::purges() const {
    std::lock_guard<std::mutex> hold(lock);
    return purgeLog;
}
std::vector<std::string> ScriptedDevice::calls() const {
    std::lock_guard<std::mutex> hold(lock);
    return callLog;
}
Dcb ScriptedDevice::lastState() const {
    std::lock_guard<std::mutex> hold(lock);
    return state;
}
CommTimeouts ScriptedDevice::lastTimeouts() const {
    std::lock_guard<std::mutex> hold(lock);
    return timeouts;
}
bool ScriptedDevice::isOpen() const {
    std::lock_guard<std::mutex> hold(lock);
    return open;
}
uint32_t ScriptedDevice::currentMask() const {
    std::lock_guard<std::mutex> hold(lock);
    return mask;
}
bool ScriptedDevice::waitPending() const {
    std::lock_guard<std::mutex> hold(lock);
    return waiting;
}

bool ScriptedDevice::waitUntil(const std::function<bool()> &predicate,
                               std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (predicate())
            return true;
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, std::chrono::milliseconds(5));
    }
    return predicate();
}

void ScriptedDevice::clearRecord() {
    std::lock_guard<std::mutex> hold(lock);
    writeLog.clear();
    maskLog.clear();
    escapeLog.clear();
    purgeLog.clear();
    callLog.clear();
}

class ScriptedPort final : public SerialPort {
public:
    explicit ScriptedPort(std::shared_ptr<ScriptedDevice> target) : device(std::move(target)) {}
    ~ScriptedPort() override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall("close");
        device->open = false;
        device->mask = 0;
        if (device->waiting)
            device->completeWait(0);
        device->changed.notify_all();
    }

    bool setupComm(uint32_t, uint32_t) override { return step("setupComm"); }
    bool purge(uint32_t flags) override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall("purge");
        device->purgeLog.push_back(flags);
        if (flags & PURGE_RXCLEAR)
            device->input.clear();
        device->changed.notify_all();
        return true;
    }
    bool setTimeouts(const CommTimeouts &value) override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall("setTimeouts");
        device->timeouts = value;
        return !device->failing.count("setTimeouts");
    }
    bool getState(Dcb &dcb) override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall("getState");
        dcb = device->driverState;
        return !device->failing.count("getState");
    }
    bool setState(const Dcb &dcb) override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall("setState");
        if (device->failing.count("setState"))
            return false;
        device->state = dcb;
        return true;
    }
    bool setMask(uint32_t value) override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall("setMask");
        if (device->failing.count("setMask"))
            return false;
        device->maskLog.push_back(value);
        device->mask = value;
        device->history = 0;
        if (device->waiting)
            device->completeWait(0);
        device->changed.notify_all();
        return true;
    }
    bool escapeFunction(uint32_t function) override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall("escape");
        if (device->failing.count("escape"))
            return false;
        device->escapeLog.push_back(function);
        device->changed.notify_all();
        return true;
    }
    WaitStart waitCommEvent() override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->eventWord = 0;
        if (device->failing.count("waitCommEvent") || device->mask == 0)
            return WaitStart::Failed;
        if (device->history & device->mask) {
            device->eventWord = device->history & device->mask;
            device->history = 0;
            return WaitStart::Completed;
        }
        device->waiting = true;
        device->changed.notify_all();
        return WaitStart::Pending;
    }
    bool awaitCommEvent(uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> hold(device->lock);
        device->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                 [this] { return !device->waiting || device->interrupted; });
        if (device->interrupted) {
            device->interrupted = false;
            return false;
        }
        return !device->waiting;
    }
    uint32_t commEvent() const override {
        std::lock_guard<std::mutex> hold(device->lock);
        return device->eventWord;
    }
    void resetWaitEvent() override {}
    void interruptWait() override {
        std::lock_guard<std::mutex> hold(device->lock);
        device->interrupted = true;
        device->changed.notify_all();
    }
    bool clearError(uint32_t &errors, uint32_t &inQueue) override {
        std::lock_guard<std::mutex> hold(device->lock);
        errors = device->errorWord;
        device->errorWord = 0;
        inQueue = static_cast<uint32_t>(device->input.size());
        return true;
    }
    uint32_t read(void *buffer, uint32_t count) override {
        std::lock_guard<std::mutex> hold(device->lock);
        uint32_t got = std::min<uint32_t>(count, static_cast<uint32_t>(device->input.size()));
        auto *out = static_cast<uint8_t *>(buffer);
        for (uint32_t i = 0; i < got; ++i) {
            out[i] = device->input.front();
            device->input.pop_front();
        }
        return got;
    }
    uint32_t write(const void *data, uint32_t count) override {
        std::function<void(const std::string &)> responder;
        std::string bytes(static_cast<const char *>(data), count);
        {
            std::lock_guard<std::mutex> hold(device->lock);
            device->recordCall("write");
            if (device->failing.count("write"))
                return 0;
            device->writeLog.push_back({bytes, Clock::now()});
            responder = device->responder;
            device->changed.notify_all();
        }
        if (responder)
            responder(bytes);
        return count;
    }

private:
    bool step(const char *name) {
        std::lock_guard<std::mutex> hold(device->lock);
        device->recordCall(name);
        return !device->failing.count(name);
    }
    std::shared_ptr<ScriptedDevice> device;
};

ScriptedPorts::ScriptedPorts() {
    setSerialPortFactory([this](const char *portName) -> std::unique_ptr<SerialPort> {
        std::shared_ptr<ScriptedDevice> target = device(portName);
        std::lock_guard<std::mutex> hold(target->lock);
        if (target->open || target->failing.count("open"))
            return nullptr;
        target->open = true;
        target->recordCall("open");
        return std::make_unique<ScriptedPort>(target);
    });
}

ScriptedPorts::~ScriptedPorts() { setSerialPortFactory(nullptr); }

std::shared_ptr<ScriptedDevice> ScriptedPorts::device(const std::string &portName) {
    std::lock_guard<std::mutex> hold(lock);
    auto &entry = devices[portName];
    if (!entry)
        entry = std::make_shared<ScriptedDevice>(portName);
    return entry;
}

} // namespace kalvix3::testing
