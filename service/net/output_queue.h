// What waits to be written to one client's socket (an NCID client, a page's event stream): the
// lines in order and their total size, against which each server checks its bound on a client
// that does not read. Lines are shared: one announcement is queued for every client without a
// copy. Event-loop thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>

namespace kalvix3d::net {

class OutputQueue {
public:
    using Line = std::shared_ptr<const std::string>;

    void push(Line line) {
        bytesWaiting += line->size();
        lines.push_back(std::move(line));
    }
    bool empty() const { return lines.empty(); }
    std::size_t bytes() const { return bytesWaiting; }
    // A write is in progress: the next one starts from its completion.
    bool writing() const { return inFlight; }

    // Writes the first lines (at most kGather) to `socket` in one gathered write, then calls
    // done(error). The lines stay queued while they are written; when the write succeeded they
    // are off the queue by the time done() runs. `done` owns what the queue belongs to, which
    // keeps the queue alive until then.
    template <class Socket, class Done> void writeFront(Socket &socket, Done done) {
        std::vector<boost::asio::const_buffer> buffers;
        for (std::size_t i = 0; i < lines.size() && i < kGather; ++i)
            buffers.push_back(boost::asio::buffer(*lines[i]));
        std::size_t count = buffers.size();
        inFlight = true;
        boost::asio::async_write(socket, buffers,
                                 [this, count, done = std::move(done)](
                                     boost::system::error_code error, std::size_t) mutable {
                                     inFlight = false;
                                     if (!error)
                                         written(count);
                                     done(error);
                                 });
    }
    void clear() {
        lines.clear();
        bytesWaiting = 0;
    }

private:
    void written(std::size_t count) {
        for (; count > 0 && !lines.empty(); --count) {
            bytesWaiting -= lines.front()->size();
            lines.pop_front();
        }
    }

    static constexpr std::size_t kGather = 64; // lines in one gathered write
    std::deque<Line> lines;
    std::size_t bytesWaiting = 0;
    bool inFlight = false;
};

} // namespace kalvix3d::net
