// An output tells the world about calls and lines: the log, the service manager's status line,
// NCID clients, MQTT, the web page. Every output has the same life, driven by Outputs (below):
//   made and start()ed on the main thread, subscribed to the announcer;
//   attachLines() once the lines exist, attachLines(nullptr) before they go;
//   after the lines are closed, unsubscribed, stopOnLoop() on the event loop, the loop stopped,
//   then stopAfterLoop() on the main thread.
// Adding an output is one class and one row of kOutputs in outputs.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "announcer.h"
#include "config/config.h"
#include "lines/line_control.h"
#include "net/event_loop.h"
#include "store/call_store.h"

namespace kalvix3d {

// What an output may use; all of it outlives every output.
struct OutputContext {
    net::EventLoop &loop;
    CallStore &store;
    const Config &config;
};

class Output : public Observer {
public:
    // Binds, listens, connects. Throws std::runtime_error saying why the output cannot run.
    virtual void start() {}
    // The lines' dials and history reads; null when there are none (before start, stopping).
    // From the main thread.
    virtual void attachLines(LineControl *) {}
    // On the event loop, before it stops: close listeners and clients.
    virtual void stopOnLoop() {}
    // After the loop has stopped, on the main thread.
    virtual void stopAfterLoop() {}
    // Where clients reach it once started ("127.0.0.1:3333", "http://127.0.0.1:8380/"), or "".
    virtual std::string endpoint() const { return ""; }
};

// Every output the configuration turns on, in one list with one start and stop order.
class Outputs {
public:
    // Makes and starts the outputs and subscribes them. One that cannot start is logged with
    // why and left out: every call still goes to the call log.
    Outputs(const OutputContext &context, Announcer &announcer);
    ~Outputs(); // stop()
    Outputs(const Outputs &) = delete;
    Outputs &operator=(const Outputs &) = delete;

    void attachLines(LineControl *lines);
    // Unsubscribes every output and stops it, the event loop between the two steps; idempotent.
    void stop();

private:
    OutputContext context;
    Announcer &announcer;
    std::vector<std::unique_ptr<Output>> running; // in the order of kOutputs
};

} // namespace kalvix3d
