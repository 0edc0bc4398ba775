#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <thread>

#include "runtime/CEvent.h"

using namespace Nerra;

namespace {

bool PollsReadable(const CEvent& event)
{
    pollfd handle{event.GetPollHandle(), POLLIN, 0};
    return poll(&handle, 1, 0) > 0;
}

TEST(CEvent, AutoResetEventSetTwiceSatisfiesOneWait)
{
    CEvent event(false);
    event.Set();
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(CEvent, ManualResetEventStaysSet)
{
    CEvent event(true);
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(10));
    EXPECT_TRUE(PollsReadable(event));
}

TEST(CEvent, PollHandleShowsTheSignalWithoutConsumingIt)
{
    CEvent event(false);
    EXPECT_FALSE(PollsReadable(event));
    event.Set();
    EXPECT_TRUE(PollsReadable(event));
    EXPECT_TRUE(PollsReadable(event));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(PollsReadable(event));
}

TEST(CEvent, TimedWaitEndsWithTheTimeOutOrTheSet)
{
    CEvent event(false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.Set();
    });
    EXPECT_TRUE(event.Wait(60000));
    setter.join();
}

}  // namespace
