// The output queue toward one client: bytes counted against the bound, lines kept until written.
#include <gtest/gtest.h>

#include "net/output_queue.h"

namespace {

using kalvix3d::net::OutputQueue;

TEST(OutputQueue, CountsTheBytesWaiting) {
    OutputQueue queue;
    EXPECT_TRUE(queue.empty());
    queue.push(std::make_shared<const std::string>("CID: 1\r\n"));
    queue.push(std::make_shared<const std::string>("MSG: x\r\n"));
    EXPECT_EQ(queue.bytes(), 16u);
    EXPECT_FALSE(queue.writing());
    queue.clear();
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.bytes(), 0u);
}

} // namespace
