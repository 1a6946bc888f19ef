#include "net/event_loop.h"

#include <exception>

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

} // namespace kalvix3d::net
