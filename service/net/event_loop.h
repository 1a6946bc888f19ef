// The service's one event loop: a single Boost.Asio io_context run on one thread. Every socket of
// the service (NCID clients, the MQTT client's hand-offs, later HTTP) lives on it, so none of them
// needs a lock of its own. Nothing posted onto it may block: work that waits (a store read of
// many calls) runs on the worker and posts its result back.
//
// Threads: post() and the accessors may be called from any thread. main() owns the loop: it
// starts it before the outputs are created and stops it (SIGTERM) after the lines are closed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

namespace kalvix3d::net {

class EventLoop {
public:
    EventLoop();
    ~EventLoop(); // stop()
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    boost::asio::io_context &context() { return io; }
    // One thread for reads that may take a while (the call log); results are posted back.
    boost::asio::thread_pool &worker() { return pool; }

    // Runs the loop on its own thread. A handler that throws is logged and the loop goes on.
    void start();
    // Lets the handlers already posted run, then ends the thread; idempotent. After stop() a
    // post is dropped without running.
    void stop();

    template <class Handler> void post(Handler &&handler) {
        boost::asio::post(io, std::forward<Handler>(handler));
    }

private:
    void run();

    boost::asio::io_context io{1};
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard;
    boost::asio::thread_pool pool{1};
    std::thread thread;
};

// Opens `acceptor` listening on `bind` ("localhost" or an IP address) and `port` (0: a free one).
// Throws a sentence that names the address and port and what failed; the acceptor is closed then.
// Returns the address bound.
boost::asio::ip::address listenOn(boost::asio::ip::tcp::acceptor &acceptor, const std::string &bind,
                                  int port);

} // namespace kalvix3d::net
