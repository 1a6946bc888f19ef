#include "web/event_stream.h"

#include <vector>

#include "log.h"
#include "web/api.h"
#include "web/http_session.h"
#include "web/server_state.h"
#include "web/web_server.h"

namespace kalvix3d::web {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::string sseEvent(const std::string &name, const std::string &data) {
    return "event: " + name + "\ndata: " + data + "\n\n";
}

// ---- one page's stream -------------------------------------------------------------------------

EventStream::EventStream(EventStreams &owner, tcp::socket socket, std::string sessionId)
    : owner(owner), socket(std::move(socket)), session(std::move(sessionId)) {}

void EventStream::start(std::string first) {
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::send_buffer_size(64 * 1024), ignored);
    send(std::make_shared<const std::string>(std::move(first)));
    watch();
}

void EventStream::send(std::shared_ptr<const std::string> text) {
    if (closed)
        return;
    if (queue.bytes() + text->size() > WebServer::kEventBuffer) {
        logLine(Priority::warning, "web: a page that does not read its events was dropped");
        owner.forget(shared_from_this());
        return;
    }
    queue.push(std::move(text));
    if (!queue.writing())
        writeNext();
}

void EventStream::close() {
    closed = true;
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    queue.clear();
}

// A page sends nothing on its event stream: any end of reading means it went away.
void EventStream::watch() {
    socket.async_read_some(asio::buffer(input), [self = shared_from_this()](
                                                    boost::system::error_code error, std::size_t) {
        if (self->closed)
            return;
        if (error)
            return self->owner.forget(self);
        self->watch();
    });
}

void EventStream::writeNext() {
    if (queue.empty() || closed)
        return;
    queue.writeFront(socket, [self = shared_from_this()](boost::system::error_code error) {
        if (self->closed)
            return;
        if (error)
            return self->owner.forget(self);
        self->writeNext();
    });
}

// ---- every stream ------------------------------------------------------------------------------

void EventStreams::add(const std::shared_ptr<EventStream> &stream, std::string first) {
    streams.insert(stream);
    stream->start(std::move(first));
}

void EventStreams::forget(const std::shared_ptr<EventStream> &stream) {
    stream->close();
    streams.erase(stream);
}

// A stream may be forgotten while the text goes out (it does not read): the loop goes over a copy.
void EventStreams::sendAll(const std::shared_ptr<const std::string> &text) {
    std::vector<std::shared_ptr<EventStream>> all(streams.begin(), streams.end());
    for (const auto &stream : all)
        stream->send(text);
}

void EventStreams::broadcast(const std::string &event, const json &data) {
    if (closed)
        return;
    sendAll(std::make_shared<const std::string>(sseEvent(event, dumpJson(data))));
}

void EventStreams::ping(Auth &auth) {
    for (const auto &stream : streams)
        if (!stream->sessionId().empty())
            auth.find(stream->sessionId());
    sendAll(std::make_shared<const std::string>(": ping\n\n"));
}

void EventStreams::closeAll() {
    closed = true;
    for (const auto &stream : streams)
        stream->close();
    streams.clear();
}

// ---- GET /api/events ---------------------------------------------------------------------------

void openEventStream(Exchange &x) {
    ServerState &state = x.state;
    std::string first = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
                        "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                        "Connection: close\r\n\r\nretry: 1000\n\n" +
                        sseEvent("hello", dumpJson(json{{"lines", state.linesJson()},
                                                        {"dials", state.dialsJson()},
                                                        {"call", state.lastCall}}));
    // The socket becomes the page's event stream; its HTTP connection ends here.
    auto stream = std::make_shared<EventStream>(state.streams, x.http->release(),
                                                x.who.session ? x.who.session->id : "");
    state.streams.add(stream, std::move(first));
}

} // namespace kalvix3d::web
