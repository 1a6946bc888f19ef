// A serial receive thread on a scripted port of its own, outside the line table, so that many
// run side by side: every row of a fault table gets a fresh line without waiting for one of
// the two slots. Opening and closing follow what the library's own lines do.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "recv/recv_thread.h"
#include "support/host_window.h"
#include "support/scripted_port.h"

namespace kalvix3::testing {

class ReceiverRig {
public:
    ReceiverRig(ScriptedPorts &ports, const std::string &portName, int32_t kind);
    ~ReceiverRig(); // mask 0, purge, stop and wait for the thread, close the port
    ReceiverRig(const ReceiverRig &) = delete;
    ReceiverRig &operator=(const ReceiverRig &) = delete;

    int32_t kind() const { return deviceKind; }
    ScriptedDevice &device() { return *scripted; }
    HostWindow &host() { return window; }

    // Waits until the thread listens under the receive mask, its initialisation sent.
    bool waitUntilListening(std::chrono::milliseconds limit);
    // Sends `bytes` in one piece and waits until the thread has taken them and listens again.
    bool send(const std::string &bytes, std::chrono::milliseconds limit);
    // Sends `bytes` in one piece and waits until the frame they complete has been handled:
    // the mask went to 0 (a frame) and the thread listens again. False after `limit`.
    bool sendFrame(const std::string &bytes, std::chrono::milliseconds limit);

private:
    int32_t deviceKind;
    std::shared_ptr<ScriptedDevice> scripted;
    std::unique_ptr<platform::SerialPort> port;
    HostWindow window;
    std::unique_ptr<TRecvThread> thread;
};

// One copy of the report a device of the kind sends for a call with this number; for the
// number-display adapters two copies, since their frame ends only when the next one starts.
std::string reportOf(int32_t kind, const std::string &number);

// A fresh ten-digit number for every call of the process, so no two calls look alike.
std::string freshNumber();

} // namespace kalvix3::testing
