// The live events of the open pages, as server-sent events: a page's GET /api/events becomes a
// stream that gets every call, line state, dial and history import as it happens, and a comment
// now and then so that a page gone away is found. A page that does not read is dropped rather
// than let its events pile up. Event-loop thread only.
#pragma once

#include <array>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "net/output_queue.h"
#include "web/http_helpers.h"

namespace kalvix3d::web {

class Auth;
class EventStreams;

// "event: NAME\ndata: DATA\n\n"
std::string sseEvent(const std::string &name, const std::string &data);

class EventStream : public std::enable_shared_from_this<EventStream> {
public:
    EventStream(EventStreams &owner, boost::asio::ip::tcp::socket socket, std::string sessionId);

    // The session (if any) this page watches under: kept alive while the page is open.
    const std::string &sessionId() const { return session; }

    // Sends `first` (the response header and the first event), then the events as they come.
    void start(std::string first);
    void send(std::shared_ptr<const std::string> text);
    void close();

private:
    void watch();
    void writeNext();

    EventStreams &owner;
    boost::asio::ip::tcp::socket socket;
    std::string session;
    net::OutputQueue queue;
    bool closed = false;
    std::array<char, 256> input{};
};

// Every open stream.
class EventStreams {
public:
    void add(const std::shared_ptr<EventStream> &stream, std::string first);
    void forget(const std::shared_ptr<EventStream> &stream);
    std::size_t size() const { return streams.size(); }

    void broadcast(const std::string &event, const json &data);
    // The keep-alive comment to every stream; each open page keeps its session from idling out.
    void ping(Auth &auth);
    // Closes every stream; broadcasts are dropped from then on.
    void closeAll();

private:
    void sendAll(const std::shared_ptr<const std::string> &text);

    std::set<std::shared_ptr<EventStream>> streams;
    bool closed = false;
};

} // namespace kalvix3d::web
