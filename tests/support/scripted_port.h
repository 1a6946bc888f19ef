// The scripted serial port: an in-memory stand-in for a COM port and the device behind it.
// A test creates a ScriptedDevice per port name and installs the factory; the library then opens
// ScriptedPorts on those devices. The test injects bytes, events and error words, makes chosen
// steps fail, and reads back every write (with its time), purge, mask and escape.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace kalvix3::testing {

using Clock = std::chrono::steady_clock;

struct RecordedWrite {
    std::string bytes;
    Clock::time_point when;
};

class ScriptedDevice {
public:
    explicit ScriptedDevice(std::string name);

    // ---- What the device does -----------------------------------------------------------
    void inject(const std::string &bytes);        // bytes from the device (EV_RXCHAR)
    void injectError(uint32_t errorWord);          // a line error (EV_ERR)
    void injectEvent(uint32_t eventBits);          // any other event bits
    // Called (outside the lock) with every write; may inject a reply.
    void onWrite(std::function<void(const std::string &)> responder);
    // Makes one step fail: "open", "setupComm", "setTimeouts", "getState", "setState",
    // "setMask", "escape", "write", "waitCommEvent".
    void failStep(const std::string &step);
    void setDriverState(const platform::Dcb &dcb);

    // ---- What the library did ------------------------------------------------------------
    std::vector<RecordedWrite> writes() const;
    std::string written() const; // all writes joined
    std::vector<uint32_t> masks() const;
    std::vector<uint32_t> escapes() const;
    std::vector<uint32_t> purges() const;
    std::vector<std::string> calls() const; // every operation's name, in order
    platform::Dcb lastState() const;
    platform::CommTimeouts lastTimeouts() const;
    bool isOpen() const;
    uint32_t currentMask() const;
    bool waitPending() const;
    // Waits until `predicate` holds (checked after every operation) or the time passes.
    bool waitUntil(const std::function<bool()> &predicate, std::chrono::milliseconds limit);
    void clearRecord();

private:
    friend class ScriptedPort;
    friend class ScriptedPorts;
    void recordCall(const std::string &name);
    void completeWait(uint32_t word); // lock held
    void raise(uint32_t bits);        // lock held

    mutable std::mutex lock;
    std::condition_variable changed;
    std::string name;
    bool open = false;
    std::deque<uint8_t> input;
    uint32_t errorWord = 0;
    uint32_t mask = 0;
    uint32_t history = 0; // events seen since the last wait (as Win32 keeps them)
    bool waiting = false;
    bool interrupted = false;
    uint32_t eventWord = 0;
    std::set<std::string> failing;
    platform::Dcb driverState;
    platform::Dcb state;
    platform::CommTimeouts timeouts;
    std::vector<RecordedWrite> writeLog;
    std::vector<uint32_t> maskLog, escapeLog, purgeLog;
    std::vector<std::string> callLog;
    std::function<void(const std::string &)> responder;
};

// Installs a factory that opens ScriptedPorts on the devices created through it; removes it
// (restoring the system's ports) when destroyed.
class ScriptedPorts {
public:
    ScriptedPorts();
    ~ScriptedPorts();
    std::shared_ptr<ScriptedDevice> device(const std::string &portName); // created on first use

private:
    std::mutex lock;
    std::map<std::string, std::shared_ptr<ScriptedDevice>> devices;
};

} // namespace kalvix3::testing
