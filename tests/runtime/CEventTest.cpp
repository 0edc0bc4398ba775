#include <gtest/gtest.h>

#include <poll.h>
#include <thread>

#include "runtime/CEvent.h"
#include "runtime/CInFlight.h"
#include "runtime/CThread.h"

using namespace Nerra;

namespace {

bool PollsReadable(const CEvent& event)
{
    pollfd handle{event.GetPollHandle(), POLLIN, 0};
    return poll(&handle, 1, 0) > 0;
}

TEST(CEvent, AutoResetIsConsumedByOneWaitManualResetStays)
{
    CEvent automatic(false), manual(true);
    automatic.Set();
    automatic.Set();
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(10));
}

TEST(CEvent, PollHandleMirrorsTheSignalWithoutConsumingIt)
{
    CEvent event(false);
    EXPECT_FALSE(PollsReadable(event));
    event.Set();
    EXPECT_TRUE(PollsReadable(event));
    EXPECT_TRUE(PollsReadable(event));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(PollsReadable(event));
}

TEST(CEvent, AWaiterIsWokenBySetAndWaitEitherTellsWhich)
{
    CEvent event(false), other(false);
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.Wait(INFINITE_TIMEOUT));
    setter.join();

    EXPECT_EQ(CEvent::WaitEither(event, other, 0), -1);
    std::thread([&] { other.Set(); }).join();
    EXPECT_EQ(CEvent::WaitEither(event, other, INFINITE_TIMEOUT), 1);
    EXPECT_FALSE(other.Wait(0));  // consumed
    event.Set();
    other.Set();
    EXPECT_EQ(CEvent::WaitEither(event, other, 0), 0);
}

class CIdleThread : public CThread {
protected:
    void Execute() override {}
};

TEST(CInFlight, TheProducerSleepsUntilTheLowMarkOrItsStop)
{
    CInFlight jobs;
    CIdleThread producer;
    for (int i = 0; i < 5; ++i)
        jobs.Add();
    EXPECT_TRUE(jobs.WaitUntilAtMost(5, producer));
    std::thread workers([&] {
        for (int i = 0; i < 4; ++i)
            jobs.Remove();
    });
    EXPECT_TRUE(jobs.WaitUntilAtMost(2, producer));
    workers.join();
    EXPECT_EQ(jobs.Count(), 1u);
    producer.Terminate();
    EXPECT_FALSE(jobs.WaitUntilAtMost(0, producer));
}

}  // namespace
