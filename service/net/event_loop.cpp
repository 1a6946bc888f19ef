#include "net/event_loop.h"

#include <exception>
#include <stdexcept>

#include "log.h"

namespace kalvix3d::net {

EventLoop::EventLoop() : guard(boost::asio::make_work_guard(io)) {}

EventLoop::~EventLoop() { stop(); }

void EventLoop::start() {
    if (thread.joinable())
        return;
    thread = std::thread([this] { run(); });
}

void EventLoop::run() {
    for (;;) {
        try {
            io.run();
            return;
        } catch (const std::exception &error) {
            logLine(Priority::error, std::string("event loop: a handler failed: ") + error.what());
        }
    }
}

void EventLoop::stop() {
    pool.join(); // store reads under way finish; their results are posted
    guard.reset();
    if (thread.joinable()) {
        // Handlers already posted still run; then the loop is stopped even if sockets remain.
        boost::asio::post(io, [this] { io.stop(); });
        thread.join();
    }
    io.stop();
}

boost::asio::ip::address listenOn(boost::asio::ip::tcp::acceptor &acceptor, const std::string &bind,
                                  int port) {
    using boost::asio::ip::tcp;
    boost::system::error_code error;
    auto address = boost::asio::ip::make_address(bind == "localhost" ? "127.0.0.1" : bind, error);
    if (error)
        throw std::runtime_error("bind address \"" + bind + "\" is not an IP address");
    tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol(), error);
    if (!error)
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    if (!error)
        acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
    if (error) {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        throw std::runtime_error("cannot listen on " + bind + " port " + std::to_string(port) +
                                 ": " + error.message());
    }
    return address;
}

} // namespace kalvix3d::net
