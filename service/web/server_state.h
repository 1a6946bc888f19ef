// What the listener, the connections and the handlers of the web page share. Event-loop thread
// only, except the line control, which has a lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "config/config.h"
#include "lines/line_control.h"
#include "core/line_status.h"
#include "net/event_loop.h"
#include "store/call_store.h"
#include "web/auth.h"
#include "web/event_stream.h"
#include "web/http_helpers.h"

namespace kalvix3d::web {

class HttpSession;

struct Dial {
    std::int64_t id;
    int slot, telPort;
    std::string number;
};
// A dial as the page sees it: "dialing", "ended" or "failed", and its number grouped.
json dialJson(const Dial &dial, const char *state);

struct ServerState {
    ServerState(net::EventLoop &loop, CallStore &store, const Config &config);

    net::EventLoop &loop;
    CallStore &store;
    const Config &config;
    Auth auth;
    bool closed = false;
    std::set<std::shared_ptr<HttpSession>> connections;
    EventStreams streams;
    std::map<int, LineStatus> lines;    // by slot, as last announced
    std::map<std::int64_t, Dial> dials; // under way
    json lastCall;                      // the last call announced, with its card; null before one
    std::int64_t nextDialId = 1;
    int loginsVerifying = 0;

    // A configured line with its last announced state, as the API and the events carry it.
    json lineJson(const LineConfig &line) const;
    json linesJson() const; // every configured line
    json dialsJson() const; // the dials under way

    void setLineControl(LineControl *lineControl);
    // Runs `use` with the line control under its lock; false when there is none (stopping).
    bool withControl(const std::function<void(LineControl &)> &use);

private:
    std::mutex controlLock;
    LineControl *control = nullptr;
};

} // namespace kalvix3d::web
