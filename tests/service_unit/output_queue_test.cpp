// The output queue toward one client, over a real socket pair: lines go out in order in
// gathered writes, stay counted until written, and a write that fails leaves them queued.
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <gtest/gtest.h>

#include "net/output_queue.h"

namespace {

using kalvix3d::net::OutputQueue;
namespace asio = boost::asio;
using Socket = asio::local::stream_protocol::socket;

std::shared_ptr<const std::string> line(std::string text) {
    return std::make_shared<const std::string>(std::move(text));
}

TEST(OutputQueue, WritesInOrderAndCountsUntilWritten) {
    asio::io_context io;
    Socket ours(io), theirs(io);
    asio::local::connect_pair(ours, theirs);
    OutputQueue queue;
    std::string sent;
    for (int i = 0; i < 100; ++i) { // more than one gathered write holds
        std::string text = "CID: " + std::to_string(i) + "\r\n";
        sent += text;
        queue.push(line(text));
    }
    EXPECT_EQ(queue.bytes(), sent.size());
    int writes = 0;
    std::function<void()> next = [&] {
        if (queue.empty())
            return;
        queue.writeFront(ours, [&](boost::system::error_code error) {
            ASSERT_FALSE(error);
            ++writes;
            next();
        });
        EXPECT_TRUE(queue.writing());
        EXPECT_GT(queue.bytes(), 0u) << "lines stay counted while they are written";
    };
    next();
    io.run();
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.bytes(), 0u);
    EXPECT_FALSE(queue.writing());
    EXPECT_GE(writes, 2);
    std::string received(sent.size(), '\0');
    asio::read(theirs, asio::buffer(received));
    EXPECT_EQ(received, sent);
}

TEST(OutputQueue, AFailedWriteKeepsItsLines) {
    asio::io_context io;
    Socket ours(io), theirs(io);
    asio::local::connect_pair(ours, theirs);
    theirs.close();
    ours.shutdown(Socket::shutdown_send);
    OutputQueue queue;
    queue.push(line("MSG: down\r\n"));
    boost::system::error_code seen;
    queue.writeFront(ours, [&](boost::system::error_code error) { seen = error; });
    io.run();
    EXPECT_TRUE(seen);
    EXPECT_FALSE(queue.writing());
    EXPECT_EQ(queue.bytes(), 11u);
    queue.clear();
    EXPECT_EQ(queue.bytes(), 0u);
}

} // namespace
