// Helpers of the integration tests: a temporary COM directory (KALVIX3_COM_DIR) whose entries
// link to simulated devices, and observed ports: the system's serial ports wrapped so that a
// test can see what a line's receive thread is doing (listening for events, writing) and wait
// for that instead of sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace kalvix3::testing {

// A fresh directory set as KALVIX3_COM_DIR; removed, links and all, when destroyed.
class ComDirectory {
public:
    ComDirectory();
    ~ComDirectory();
    ComDirectory(const ComDirectory &) = delete;
    ComDirectory &operator=(const ComDirectory &) = delete;

    // Makes COM<port> a symbolic link to `target`.
    void link(int port, const std::string &target);
    std::string path() const { return directory; }

private:
    std::string directory;
    std::vector<std::string> links;
};

// What one observed port has seen, filled in as the library uses the port.
class PortLog {
public:
    using Clock = std::chrono::steady_clock;

    // Waits until the port's user has a wait pending under `mask` (or a later one).
    bool waitUntilListening(std::chrono::milliseconds limit, uint32_t mask = 0x81) const;
    // Waits until a wait that began at or after `since` is pending under the receive mask.
    bool waitUntilListeningSince(Clock::time_point since, std::chrono::milliseconds limit) const;
    // Waits until a wait completed at or after `since` (something arrived) and the thread,
    // having dealt with it, listens again.
    bool waitUntilHandledSince(Clock::time_point since, std::chrono::milliseconds limit) const;
    size_t waitStarts() const;   // waitCommEvent calls
    size_t waitChecks() const;   // awaitCommEvent calls
    std::vector<Clock::time_point> writeTimes() const;
    bool isOpen() const;

    // Called by the observed port.
    void noteOpen(bool open);
    void noteMask(uint32_t mask);
    void noteWaitStart(platform::WaitStart result);
    void noteWaitCheck(bool completed);
    void noteWrite();

private:
    bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit) const;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool open = false;
    uint32_t mask = 0;
    bool listening = false;
    size_t starts = 0;
    size_t checks = 0;
    Clock::time_point listeningSince{};
    Clock::time_point lastCompletion{};
    std::vector<Clock::time_point> writes;
};

// Installs a port factory that opens the system's ports and observes them; restores the
// system's factory when destroyed. Logs are kept per port name across opens.
class ObservedPorts {
public:
    ObservedPorts();
    ~ObservedPorts();
    std::shared_ptr<PortLog> log(const std::string &portName);

private:
    std::mutex lock;
    std::map<std::string, std::shared_ptr<PortLog>> logs;
};

} // namespace kalvix3::testing
