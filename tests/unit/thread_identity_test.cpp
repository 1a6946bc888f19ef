// A receive thread asks whether it runs on itself when a window procedure closes its line from
// inside a notification; a line whose driver fails reports from the body's first moments, so
// the answer must be right from the body's first instruction, while the opening code may still
// be storing the thread it has just started.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/thread.h"

namespace {

class AskingThread : public kalvix3::platform::Thread {
public:
    ~AskingThread() override { stopAndWait(); }
    std::atomic<int> answer{-1};

protected:
    void ThreadMain() override { answer = isCurrentThread() ? 1 : 0; }
};

TEST(ThreadIdentity, ABodyKnowsItselfFromItsFirstInstruction) {
    std::vector<std::unique_ptr<AskingThread>> threads;
    for (int i = 0; i < 50; ++i) {
        threads.push_back(std::make_unique<AskingThread>());
        threads.back()->resume();
    }
    for (auto &thread : threads) {
        thread->waitFor();
        EXPECT_EQ(thread->answer.load(), 1);
        EXPECT_FALSE(thread->isCurrentThread()) << "nor is any other thread taken for it";
    }
}

} // namespace
