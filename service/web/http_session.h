// One HTTP connection: reads requests within the limits of header size, body size and time,
// hands each to the routes, and writes the answers in order. A request refused for its size is
// answered, then what is still coming is read and dropped for a moment before the connection
// closes, so that the client gets the answer. Event-loop thread only.
#pragma once

#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "web/http_helpers.h"

namespace kalvix3d::web {

struct ServerState;

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(ServerState &state, boost::asio::ip::tcp::socket socket);

    void start() { read(); }
    void close();
    bool isClosed() const { return closed; }
    // The peer's IP address, "?" when unknown.
    const std::string &address() const { return peer; }

    void send(Response response);
    // Runs `work` (store access) on the worker and sends what it returns, or the answer to what
    // it throws.
    void offload(std::function<Response()> work);
    // Hands the socket over (to an event stream): this connection ends without closing it.
    boost::asio::ip::tcp::socket release();

private:
    void read();
    void onRead(boost::beast::error_code error);
    void refuse(http::status status, const std::string &why);
    void drain();
    void drainMore();
    void end();

    ServerState &state;
    boost::beast::tcp_stream stream;
    boost::beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    std::string peer;
    bool keepAlive = false;
    bool closed = false;
    bool lingering = false;
    std::size_t drained = 0;
    std::array<char, 16 * 1024> scratch{};
};

// The answer to a request whose handling threw. Only what speaks of the request itself reaches
// the browser (bad input, JSON not as expected); the call log busy is a 503 to try again; any
// other failure is a 500 in general words, its own text going to the service's log.
Response answerToFailure(std::exception_ptr failure);

} // namespace kalvix3d::web
