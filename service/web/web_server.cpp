#include "web/web_server.h"

#include "log.h"
#include "web/api.h"
#include "web/http_session.h"
#include "web/server_state.h"

namespace kalvix3d::web {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto kKeepAlive = 20s; // a comment on every event stream, so dead ones are found

} // namespace

WebServer::WebServer(const OutputContext &context)
    : state(std::make_unique<ServerState>(context.loop, context.store, context.config)),
      acceptor(context.loop.context()), keepAliveTimer(context.loop.context()) {}

WebServer::~WebServer() = default;

void WebServer::start() {
    const WebConfig &web = state->config.web;
    auto address = net::listenOn(acceptor, web.bind, web.port);
    boundPort = acceptor.local_endpoint().port();
    std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    url = "http://" + host + ":" + std::to_string(boundPort) + "/";
    logLine(Priority::info, "web: the page is at " + url + " (" +
                                (state->auth.passwordRequired() ? "password"
                                                                : "no password: loopback") +
                                (web.displayToken.empty() ? "" : ", display token") + ")");
    state->loop.post([this] {
        accept();
        keepAlive();
    });
}

void WebServer::close() {
    state->closed = true;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    keepAliveTimer.cancel();
    for (const auto &connection : state->connections)
        connection->close();
    state->connections.clear();
    state->streams.closeAll();
}

void WebServer::attachLines(LineControl *lineControl) { state->setLineControl(lineControl); }

void WebServer::accept() {
    acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open() || state->closed)
            return;
        if (!error) {
            if (state->connections.size() + state->streams.size() >=
                static_cast<std::size_t>(state->config.web.maxClients)) {
                static const std::string busy =
                    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                    "Retry-After: 5\r\nContent-Length: 0\r\n\r\n";
                boost::system::error_code ignored;
                socket.non_blocking(true, ignored);
                socket.write_some(asio::buffer(busy), ignored);
                socket.close(ignored);
            } else {
                auto connection = std::make_shared<HttpSession>(*state, std::move(socket));
                state->connections.insert(connection);
                connection->start();
            }
        } else if (error == asio::error::no_descriptors) {
            logLine(Priority::warning, "web: cannot accept a connection: " + error.message());
            auto timer = std::make_shared<asio::steady_timer>(state->loop.context(), 100ms);
            timer->async_wait([this, timer](boost::system::error_code) { accept(); });
            return;
        }
        accept();
    });
}

void WebServer::keepAlive() {
    keepAliveTimer.expires_after(kKeepAlive);
    keepAliveTimer.async_wait([this](boost::system::error_code error) {
        if (error || state->closed)
            return;
        state->streams.ping(state->auth);
        keepAlive();
    });
}

void WebServer::callAnnounced(const Call &call) {
    state->loop.post([this, data = callJson(call)] {
        state->lastCall = data;
        state->streams.broadcast("call", data);
    });
}

void WebServer::lineStateChanged(const LineStatus &status) {
    state->loop.post([this, status] {
        const LineConfig *line = state->config.line(status.slot);
        if (!line)
            return;
        state->lines[status.slot] = status;
        state->streams.broadcast("line", state->lineJson(*line));
    });
}

} // namespace kalvix3d::web
