#include "web/http_session.h"

#include "log.h"
#include "store/call_store.h"
#include "web/routes.h"
#include "web/server_state.h"
#include "web/web_server.h"

namespace kalvix3d::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto kRequestTime = 10s; // to send one request (and the idle time between requests)
constexpr auto kWriteTime = 30s;   // to take one response
constexpr auto kDrainTime = 2s;    // to send the rest of a refused request

} // namespace

HttpSession::HttpSession(ServerState &state, tcp::socket socket)
    : state(state), stream(std::move(socket)), buffer(WebServer::kHeaderLimit) {
    boost::system::error_code error;
    auto endpoint = stream.socket().remote_endpoint(error);
    peer = error ? "?" : endpoint.address().to_string();
}

void HttpSession::close() {
    closed = true;
    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream.socket().close(ignored);
}

tcp::socket HttpSession::release() {
    stream.expires_never();
    closed = true;
    state.connections.erase(shared_from_this());
    return stream.release_socket();
}

void HttpSession::read() {
    parser.emplace();
    parser->header_limit(static_cast<std::uint32_t>(WebServer::kHeaderLimit));
    parser->body_limit(WebServer::kBodyLimit);
    stream.expires_after(kRequestTime);
    http::async_read(stream, buffer, *parser,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                         self->onRead(error);
                     });
}

void HttpSession::onRead(beast::error_code error) {
    if (closed)
        return;
    if (error == http::error::body_limit)
        return refuse(http::status::payload_too_large, "the request body is too large");
    if (error == http::error::header_limit)
        return refuse(http::status::request_header_fields_too_large,
                      "the request header is too large");
    // A request not sent in time (beast::error::timeout) has had its socket closed.
    if (error)
        return end();
    Request request = parser->release();
    keepAlive = request.keep_alive();
    try {
        handleRequest(state, shared_from_this(), request);
    } catch (...) {
        send(answerToFailure(std::current_exception()));
    }
}

void HttpSession::refuse(http::status status, const std::string &why) {
    keepAlive = false;
    lingering = true;
    buffer.consume(buffer.size());
    send(problem(status, why));
}

// Closing with unread data would reset the connection, and the client could lose the answer.
void HttpSession::drain() {
    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.expires_after(kDrainTime);
    drainMore();
}

void HttpSession::drainMore() {
    stream.async_read_some(asio::buffer(scratch), [self = shared_from_this()](
                                                      beast::error_code error, std::size_t size) {
        if (self->closed)
            return;
        self->drained += size;
        if (error || self->drained > 4 * WebServer::kBodyLimit)
            return self->end();
        self->drainMore();
    });
}

void HttpSession::end() {
    close();
    state.connections.erase(shared_from_this());
}

void HttpSession::send(Response response) {
    if (closed)
        return;
    response.keep_alive(keepAlive);
    auto message = std::make_shared<Response>(std::move(response));
    stream.expires_after(kWriteTime);
    http::async_write(stream, *message,
                      [self = shared_from_this(), message](beast::error_code error, std::size_t) {
                          if (self->closed)
                              return;
                          if (!error && self->lingering && !self->state.closed)
                              return self->drain();
                          if (error || message->need_eof() || self->state.closed)
                              return self->end();
                          self->read();
                      });
}

void HttpSession::offload(std::function<Response()> work) {
    auto self = shared_from_this();
    asio::post(state.loop.worker(), [self, work = std::move(work)] {
        Response response;
        try {
            response = work();
        } catch (...) {
            response = answerToFailure(std::current_exception());
        }
        self->state.loop.post([self, response = std::move(response)]() mutable {
            self->send(std::move(response));
        });
    });
}

Response answerToFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const StoreError &error) {
        switch (error.fault()) {
        case StoreFault::badInput:
            return problem(http::status::bad_request, error.what());
        case StoreFault::busy: {
            logLine(Priority::warning, std::string("web: ") + error.what());
            Response response =
                problem(http::status::service_unavailable, "the call log is busy: try again");
            response.set(http::field::retry_after, "1");
            return response;
        }
        case StoreFault::io:
            break;
        }
        logLine(Priority::error, std::string("web: a request failed: ") + error.what());
        return problem(http::status::internal_server_error,
                       "the call log cannot be used just now: the service's log says why");
    } catch (const json::exception &error) {
        return problem(http::status::bad_request,
                       std::string("the JSON is not as expected: ") + error.what());
    } catch (const std::exception &error) {
        logLine(Priority::error, std::string("web: a request failed: ") + error.what());
    } catch (...) {
        logLine(Priority::error, "web: a request failed");
    }
    return problem(http::status::internal_server_error,
                   "the request failed: the service's log says why");
}

} // namespace kalvix3d::web
