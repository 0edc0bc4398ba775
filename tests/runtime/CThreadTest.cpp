#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/CThread.h"
#include "runtime/CLock.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

std::atomic<int> g_BodiesRun{0};

// Notes what its body saw and runs until asked to stop.
class CProbeThread : public CThread {
public:
    std::atomic<bool> running{false};
    std::atomic<bool> stopSeenAtStart{false};

protected:
    void Execute() override
    {
        ++g_BodiesRun;
        stopSeenAtStart = IsTerminating();
        running = true;
        while (!IsTerminating())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TEST(CThread, BodyRunsOnlyAfterStartAndWaitForTellsWhenItEnded)
{
    CProbeThread thread;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(thread.running);
    thread.Start();
    ASSERT_TRUE(WaitUntil([&] { return thread.running.load(); }));
    EXPECT_FALSE(thread.stopSeenAtStart);
    EXPECT_FALSE(thread.WaitFor(0));
    thread.Terminate();
    EXPECT_TRUE(thread.WaitFor(INFINITE_TIMEOUT));
    EXPECT_TRUE(thread.WaitFor(0));
}

TEST(CThread, TerminateBeforeStartIsSeenOnTheFirstPoll)
{
    CProbeThread thread;
    thread.Terminate();
    thread.Terminate();
    thread.Start();
    ASSERT_TRUE(thread.WaitFor(10000));
    EXPECT_TRUE(thread.stopSeenAtStart);
}

TEST(CThread, ThreadNeverStartedIsDestroyedWithoutRunning)
{
    const int before = g_BodiesRun;
    { CProbeThread thread; }
    EXPECT_EQ(g_BodiesRun, before);
}

}  // namespace
