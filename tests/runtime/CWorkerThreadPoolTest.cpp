#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <thread>
#include <unistd.h>

#include "runtime/CWorkerThreadPool.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

uint32_t g_Threads = 1;
CParallelTiming g_Timing;

// The next pool built gets these settings.
void Configure(uint32_t threads, uint32_t workMs = 20, uint32_t sleepMs = 20)
{
    g_Threads = threads;
    g_Timing = CParallelTiming{workMs, sleepMs};
}

struct CSequentialPool : CWorkerThreadPool<CSequentialWorkUnit> {
    CSequentialPool() : CWorkerThreadPool(g_Threads, g_Timing) {}
};
struct CParallelPool : CWorkerThreadPool<CParallelWorkUnit> {
    CParallelPool() : CWorkerThreadPool(g_Threads, g_Timing) {}
};

// A message-processing stand-in: notes its thread, optionally held at a gate or failing.
class CJob : public CSequentialWorkUnit {
public:
    explicit CJob(const std::string& name, bool fails = false) : CSequentialWorkUnit(name), m_Fails(fails) {}
    std::atomic<bool> entered{false};
    std::atomic<bool> gateOpen{true};
    std::atomic<uint32_t> ranOn{0};  // 0: not run

    void Process() override
    {
        entered = true;
        while (!gateOpen)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ranOn = CurrentThreadId();
        if (m_Fails)
            throw CMessageException("disk full");
    }

private:
    const bool m_Fails;
};

// A connection stand-in: idle or busy on every step, failing, finishing after a number of
// steps (0: never), or finishing once its descriptor yields a byte. It can watch another
// connection for the most steps that one made between two of its own.
class CConnection : public CParallelWorkUnit {
public:
    explicit CConnection(const std::string& name) : CParallelWorkUnit(name) {}
    std::atomic<uint64_t> calls{0};
    bool idle = true;
    bool fails = false;
    uint64_t finishAfter = 0;
    int descriptor = -1;
    const CConnection* watched = nullptr;
    uint64_t mostWatchedSteps = 0, seen = 0;

    bool Process(bool& isIdle) override
    {
        ++calls;
        if (watched) {
            mostWatchedSteps = std::max(mostWatchedSteps, watched->calls - seen);
            seen = watched->calls;
        }
        if (fails)
            throw CMessageException("connection reset");
        char byte;
        if (descriptor >= 0 && read(descriptor, &byte, 1) == 1)
            return false;
        isIdle = idle;
        return finishAfter == 0 || calls < finishAfter;
    }
    bool GetPollRequest(int& fd, short& events) const override
    {
        fd = descriptor, events = POLLIN;
        return descriptor >= 0;
    }
};

TEST(WorkerPool, StickyUnitsOfOneNameMeetOnOneThreadOthersSpread)
{
    Configure(5);
    CSequentialPool pool;
    pool.Start();
    std::vector<std::shared_ptr<CJob>> alice, any;
    for (int i = 0; i < 16; ++i) {
        // One at a time: the pool refuses a name while a unit of it is queued.
        alice.push_back(std::make_shared<CJob>("alice"));
        pool.PushWorkUnit(alice.back(), true);
        ASSERT_TRUE(WaitUntil([&] { return alice.back().use_count() == 1; }));
        any.push_back(std::make_shared<CJob>("any " + std::to_string(i)));
        pool.PushWorkUnit(any.back(), false);
    }
    std::set<uint32_t> aliceThreads, anyThreads;
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return any[i]->ranOn != 0; }));
        aliceThreads.insert(alice[i]->ranOn);
        anyThreads.insert(any[i]->ranOn);
    }
    EXPECT_EQ(aliceThreads.size(), 1u);
    EXPECT_GT(anyThreads.size(), 1u);
}

TEST(WorkerPool, SameJobIsRefusedWhileQueuedOrBeingProcessed)
{
    Configure(3);
    CSequentialPool pool;
    auto first = std::make_shared<CJob>("alice");
    auto queued = std::make_shared<CJob>("alice");
    auto running = std::make_shared<CJob>("alice");
    auto again = std::make_shared<CJob>("alice");
    first->gateOpen = false;
    pool.PushWorkUnit(first, true);
    pool.PushWorkUnit(queued, true);  // the thread has not started
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return first->entered.load(); }));
    pool.PushWorkUnit(running, true);
    first->gateOpen = true;
    // Once removed, the same job may come again; units run in order, so the refused copies
    // would have run before it.
    ASSERT_TRUE(WaitUntil([&] { return first.use_count() == 1; }));
    pool.PushWorkUnit(again, true);
    EXPECT_TRUE(WaitUntil([&] { return again->ranOn != 0; }));
    EXPECT_TRUE(queued->ranOn == 0 && running->ranOn == 0);
}

TEST(WorkerPool, UnitThatThrowsIsRemovedAndTheOthersGoOn)
{
    Configure(1);
    auto failingJob = std::make_shared<CJob>("bob", true);
    auto nextJob = std::make_shared<CJob>("carol");
    auto failingConnection = std::make_shared<CConnection>("pop3 server 1");
    failingConnection->fails = true;
    auto steady = std::make_shared<CConnection>("pop3 server 2");
    testing::internal::CaptureStderr();
    {
        CSequentialPool sequential;
        CParallelPool parallel;
        sequential.PushWorkUnit(failingJob, true);
        sequential.PushWorkUnit(nextJob, true);
        parallel.PushWorkUnit(failingConnection, true);
        parallel.PushWorkUnit(steady, true);
        sequential.Start();
        parallel.Start();
        EXPECT_TRUE(WaitUntil([&] { return failingJob.use_count() == 1 && nextJob->ranOn != 0; }));
        EXPECT_TRUE(WaitUntil([&] { return failingConnection.use_count() == 1 && steady->calls > 3; }));
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("processing 'bob', ignoring and proceeding to remove: disk full\n"), std::string::npos) << log;
    EXPECT_NE(log.find("processing 'pop3 server 1', removing object from the list: connection reset\n"),
              std::string::npos)
        << log;
}

TEST(WorkerPool, UnitThatNeverFinishesUsesWholeSlicesWithoutStarvingOthers)
{
    // A minute's sleep setting: the neighbour only gets its turns if a busy thread goes
    // round again at once.
    Configure(1, 20, 60000);
    CParallelPool pool;
    auto endless = std::make_shared<CConnection>("endless");
    endless->idle = false;
    auto neighbour = std::make_shared<CConnection>("neighbour");
    neighbour->finishAfter = 6;
    neighbour->watched = endless.get();
    pool.PushWorkUnit(endless, true);
    pool.PushWorkUnit(neighbour, true);
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return neighbour.use_count() == 1; }));
    pool.Stop();
    EXPECT_EQ(endless.use_count(), 2);  // still queued
    EXPECT_GT(neighbour->mostWatchedSteps, 1u);  // a slice holds many steps, not one per turn
}

TEST(WorkerPool, SleepingParallelThreadWakesForPushOrReadableDescriptorAndNeverSpins)
{
    // Every wait below ends well within the minute the thread would otherwise sleep.
    Configure(1, 20, 60000);
    CParallelPool pool;
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    auto listening = std::make_shared<CConnection>("pop3 server 3");
    listening->descriptor = ends[0];
    pool.PushWorkUnit(listening, true);
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return listening->calls >= 1; }));

    auto quick = std::make_shared<CConnection>("quick");
    quick->finishAfter = 1;
    pool.PushWorkUnit(quick, true);
    EXPECT_TRUE(WaitUntil([&] { return quick.use_count() == 1; }, 20000));
    // The push's wake-up was consumed: the thread sleeps instead of polling again at once.
    const uint64_t before = listening->calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(listening->calls - before, 20u);

    EXPECT_EQ(write(ends[1], "x", 1), 1);
    EXPECT_TRUE(WaitUntil([&] { return listening.use_count() == 1; }, 20000));
    pool.Stop();
    close(ends[0]);
    close(ends[1]);
}

TEST(WorkerPool, PoolWithoutThreadsIsRefusedAndOneNeverStartedGoesAway)
{
    Configure(0);
    EXPECT_THROW(CSequentialPool(), CMessageException);
    Configure(2);
    CParallelPool pool;
    pool.PushWorkUnit(std::make_shared<CConnection>("never run"), false);
    pool.Stop();
}

}  // namespace
