#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/CConfig.h"
#include "runtime/CWorkerThreadPool.h"
#include "runtime/WaitUntil.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

using CSequentialPool = CWorkerThreadPool<CSequentialWorkUnit>;
using CParallelPool = CWorkerThreadPool<CParallelWorkUnit>;

void Configure(int threads, int workMs = 20, int sleepMs = 20)
{
    CConfig::Instance().SetValue("worker-threads-per-pool", std::to_string(threads));
    CConfig::Instance().SetValue("parallel-worker-thread-work-ms", std::to_string(workMs));
    CConfig::Instance().SetValue("parallel-worker-thread-sleep-ms", std::to_string(sleepMs));
}

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Which thread ran each job, and how many runs there were. Read the map once the pool stopped.
struct CRuns {
    std::mutex mutex;
    std::map<std::string, uint32_t> threadOf;
    size_t count = 0;

    void Note(const std::string& name)
    {
        std::lock_guard<std::mutex> guard(mutex);
        threadOf[name] = CurrentThreadId();
        ++count;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return count;
    }
};

// A message-processing stand-in: notes its run, optionally held up by a gate or failing.
class CJob : public CSequentialWorkUnit {
public:
    CJob(const std::string& name, CRuns& runs) : CSequentialWorkUnit(name), m_Runs(runs) {}

    std::atomic<bool> entered{false};
    std::atomic<bool> gateOpen{true};
    bool fails = false;

    void Process() override
    {
        entered = true;
        while (!gateOpen)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_Runs.Note(GetName());
        if (fails)
            throw CMessageException("disk full");
    }

private:
    CRuns& m_Runs;
};

// A connection stand-in with a script: how many steps it takes, whether each step is idle,
// whether it fails, and which descriptor it waits for when idle.
class CConnection : public CParallelWorkUnit {
public:
    explicit CConnection(const std::string& name) : CParallelWorkUnit(name) {}

    std::atomic<uint64_t> calls{0};
    bool idle = true;
    bool fails = false;
    uint64_t finishAfter = 0;  // 0: never finishes
    int descriptor = -1;
    std::atomic<bool> gotInput{false};

    bool Process(bool& isIdle) override
    {
        ++calls;
        if (fails)
            throw CMessageException("connection reset");
        if (descriptor >= 0) {
            char byte;
            if (read(descriptor, &byte, 1) == 1) {
                gotInput = true;
                return false;
            }
        }
        isIdle = idle;
        return finishAfter == 0 || calls < finishAfter;
    }

    bool GetPollRequest(int& fd, short& events) const override
    {
        if (descriptor < 0)
            return false;
        fd = descriptor;
        events = POLLIN;
        return true;
    }
};

// A pipe whose read end never blocks.
class CPipe {
public:
    CPipe()
    {
        EXPECT_EQ(pipe(m_Ends), 0);
        fcntl(m_Ends[0], F_SETFL, O_NONBLOCK);
    }
    ~CPipe()
    {
        close(m_Ends[0]);
        close(m_Ends[1]);
    }
    int ReadEnd() const { return m_Ends[0]; }
    void WriteByte() { EXPECT_EQ(write(m_Ends[1], "x", 1), 1); }

private:
    int m_Ends[2];
};

TEST(WorkerPoolPlacement, StickyUnitsMeetOnTheThreadOfTheirName)
{
    Configure(11);
    CSequentialPool pool;
    pool.Start();
    CRuns runs;
    const std::vector<std::string> names = {"", "\x0b", "\xff", "\x03", "\x02", "a\xff", "\x08"};
    for (const std::string& name : names)
        pool.PushWorkUnit(std::make_shared<CJob>(name, runs), true);
    ASSERT_TRUE(WaitUntil([&] { return runs.Count() == names.size(); }));
    pool.Stop();

    // Eleven threads, because for most small counts signed and unsigned sums agree:
    // "\xff" counted unsigned would land with "\x02", and "a\xff" with "".
    auto& threadOf = runs.threadOf;
    EXPECT_EQ(threadOf[""], threadOf["\x0b"]);
    EXPECT_EQ(threadOf["\xff"], threadOf["\x03"]);
    EXPECT_NE(threadOf["\xff"], threadOf["\x02"]);
    EXPECT_EQ(threadOf["a\xff"], threadOf["\x08"]);
    EXPECT_NE(threadOf["a\xff"], threadOf[""]);
}

TEST(WorkerPoolPlacement, UnitsForAnyThreadSpreadOverThePool)
{
    Configure(4);
    CSequentialPool pool;
    pool.Start();
    CRuns runs;
    for (int i = 0; i < 64; ++i)
        pool.PushWorkUnit(std::make_shared<CJob>("message " + std::to_string(i), runs), false);
    ASSERT_TRUE(WaitUntil([&] { return runs.Count() == 64; }));
    pool.Stop();
    std::set<uint32_t> threads;
    for (const auto& run : runs.threadOf)
        threads.insert(run.second);
    EXPECT_GT(threads.size(), 1u);
}

TEST(WorkerPoolDuplicates, SameJobIsRefusedWhileQueuedOrBeingProcessed)
{
    const std::string warning =
        "CWorkerThread::PushWorkUnit('alice'): ignoring duplicate entry, identical object is already being processed";
    Configure(3);
    CSequentialPool pool;
    CRuns runs;
    auto first = std::make_shared<CJob>("alice", runs);
    first->gateOpen = false;

    testing::internal::CaptureStderr();
    pool.PushWorkUnit(first, true);
    pool.PushWorkUnit(std::make_shared<CJob>("alice", runs), true);  // queued, thread not started
    pool.Start();
    EXPECT_TRUE(WaitUntil([&] { return first->entered.load(); }));
    pool.PushWorkUnit(std::make_shared<CJob>("alice", runs), true);  // being processed
    first->gateOpen = true;
    EXPECT_TRUE(WaitUntil([&] { return runs.Count() == 1; }));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(log, warning), 2u) << log;

    // Once removed, the same job may come again.
    const auto again = std::make_shared<CJob>("alice", runs);
    ASSERT_TRUE(WaitUntil([&] { return first.use_count() == 1; }));
    pool.PushWorkUnit(again, true);
    EXPECT_TRUE(WaitUntil([&] { return runs.Count() == 2; }));
    pool.Stop();
}

TEST(WorkerPoolFailures, SequentialUnitThatThrowsIsRemovedAndTheNextRuns)
{
    Configure(1);
    CSequentialPool pool;
    CRuns runs;
    auto failing = std::make_shared<CJob>("bob", runs);
    failing->fails = true;
    std::weak_ptr<CJob> failingRef = failing;
    testing::internal::CaptureStderr();
    pool.PushWorkUnit(std::move(failing), true);
    pool.PushWorkUnit(std::make_shared<CJob>("carol", runs), true);
    pool.Start();
    EXPECT_TRUE(WaitUntil([&] { return runs.Count() == 2 && failingRef.expired(); }));
    pool.Stop();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("ERROR CWorkerThread<CSequentialWorkUnit>::Execute(): exception caught when processing 'bob', "
                       "ignoring and proceeding to remove: disk full\n"),
              std::string::npos)
        << log;
}

TEST(WorkerPoolFailures, ParallelUnitThatThrowsIsRemovedAndTheOthersGoOn)
{
    Configure(1);
    CParallelPool pool;
    auto failing = std::make_shared<CConnection>("pop3 server 1");
    failing->fails = true;
    std::weak_ptr<CConnection> failingRef = failing;
    auto steady = std::make_shared<CConnection>("pop3 server 2");
    testing::internal::CaptureStderr();
    pool.PushWorkUnit(std::move(failing), true);
    pool.PushWorkUnit(steady, true);
    pool.Start();
    EXPECT_TRUE(WaitUntil([&] { return failingRef.expired() && steady->calls > 3; }));
    pool.Stop();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("ERROR CWorkerThread<CParallelWorkUnit>::Execute(): exception caught when processing "
                       "'pop3 server 1', removing object from the list\n"),
              std::string::npos)
        << log;
}

TEST(WorkerPoolSlices, UnitThatNeverFinishesKeepsItsSliceWithoutStarvingOthers)
{
    // A long sleep setting shows that a busy thread never sleeps between passes.
    Configure(1, 20, 60000);
    CParallelPool pool;
    auto endless = std::make_shared<CConnection>("endless");
    endless->idle = false;
    std::weak_ptr<CConnection> endlessRef = endless;

    // Notes how often the endless unit ran between two of its own turns.
    class CNeighbour : public CConnection {
    public:
        CNeighbour(const std::shared_ptr<CConnection>& other, std::atomic<uint64_t>& most)
            : CConnection("neighbour"), m_Other(other), m_Most(most)
        {
        }
        bool Process(bool& isIdle) override
        {
            const uint64_t now = m_Other->calls;
            if (now - m_Seen > m_Most)
                m_Most = now - m_Seen;
            m_Seen = now;
            isIdle = true;
            return ++calls < 6;
        }

    private:
        std::shared_ptr<CConnection> m_Other;
        std::atomic<uint64_t>& m_Most;
        uint64_t m_Seen = 0;
    };
    std::atomic<uint64_t> mostCallsBetweenTurns{0};
    auto neighbour = std::make_shared<CNeighbour>(endless, mostCallsBetweenTurns);
    std::weak_ptr<CNeighbour> neighbourRef = neighbour;
    pool.PushWorkUnit(endless, true);
    pool.PushWorkUnit(std::move(neighbour), true);
    endless.reset();
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return neighbourRef.expired(); }));
    EXPECT_FALSE(endlessRef.expired());
    pool.Stop();
    EXPECT_GT(mostCallsBetweenTurns, 1u);
}

TEST(WorkerPoolWaits, IdleThreadDoesNotSpin)
{
    Configure(1, 20, 50);
    CParallelPool pool;
    CPipe silent;
    auto quiet = std::make_shared<CConnection>("quiet");
    auto listening = std::make_shared<CConnection>("listening");
    listening->descriptor = silent.ReadEnd();
    pool.PushWorkUnit(quiet, true);
    pool.PushWorkUnit(listening, true);
    pool.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    pool.Stop();
    // About ten passes in half a second; a thread that never waited would make many thousands.
    EXPECT_GE(quiet->calls, 1u);
    EXPECT_LT(quiet->calls, 100u);
    EXPECT_LT(listening->calls, 100u);
}

TEST(WorkerPoolWaits, ReadableDescriptorEndsTheSleepAtOnce)
{
    Configure(1, 20, 60000);
    CParallelPool pool;
    CPipe client;
    auto connection = std::make_shared<CConnection>("pop3 server 3");
    connection->descriptor = client.ReadEnd();
    pool.PushWorkUnit(connection, true);
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return connection->calls >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the thread is asleep now
    client.WriteByte();
    // Well within the minute the thread would otherwise sleep.
    EXPECT_TRUE(WaitUntil([&] { return connection->gotInput.load(); }, 20000));
    pool.Stop();
}

TEST(WorkerPoolWaits, PushWakesASleepingParallelThread)
{
    Configure(1, 20, 60000);
    CParallelPool pool;
    auto idler = std::make_shared<CConnection>("idler");
    pool.PushWorkUnit(idler, true);
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return idler->calls >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto quick = std::make_shared<CConnection>("quick");
    quick->finishAfter = 1;
    std::weak_ptr<CConnection> quickRef = quick;
    pool.PushWorkUnit(std::move(quick), true);
    EXPECT_TRUE(WaitUntil([&] { return quickRef.expired(); }, 20000));
    pool.Stop();
}

TEST(WorkerPoolWaits, PushWakesAWaitingSequentialThread)
{
    Configure(1);
    CSequentialPool pool;
    pool.Start();
    CRuns runs;
    // Forty round trips: a thread that slept out its 250 ms wait each time would need
    // about five seconds.
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 1; i <= 40; ++i) {
        pool.PushWorkUnit(std::make_shared<CJob>("message " + std::to_string(i), runs), true);
        ASSERT_TRUE(WaitUntil([&] { return runs.Count() == i; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    pool.Stop();
}

TEST(WorkerPoolSettings, PoolWithoutThreadsIsRefused)
{
    for (const char* count : {"0", "-2", "none"}) {
        CConfig::Instance().SetValue("worker-threads-per-pool", count);
        try {
            CSequentialPool pool;
            ADD_FAILURE() << "a pool of '" << count << "' threads was built";
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("Invalid value of worker-threads-per-pool: '") + count + "', must be at least 1");
        }
    }
}

TEST(WorkerPoolSettings, PoolNeverStartedStopsAndGoesAway)
{
    Configure(2);
    CParallelPool pool;
    pool.PushWorkUnit(std::make_shared<CConnection>("never run"), false);
    pool.Stop();
}

}  // namespace
