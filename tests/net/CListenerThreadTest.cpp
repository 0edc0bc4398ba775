#include <gtest/gtest.h>

#include <atomic>

#include "net/CListenerThreadBase.h"
#include "net/CSocket.h"
#include "net/NetTestUtil.h"

using namespace Nerra;

namespace {

// No unit is made (a null unit closes its connection), so the pool is never used.
CWorkerThreadPool<CParallelWorkUnit>& Pool()
{
    static CWorkerThreadPool<CParallelWorkUnit> pool(1);
    return pool;
}

CInternetPort FreePort() { return CSocket(Loopback(), AnyPort()).GetBoundPort(); }  // bound, then let go

// A running listener on a port that was free, stopped when it goes. It counts the units it
// made and notes the inactivity time-out the last connection arrived with; or it fails to
// make a unit.
class CTestListener : public CListenerThreadBase {
public:
    explicit CTestListener(const CInternetPort& free = FreePort())
        : CListenerThreadBase(Loopback(), free, 77, Pool()), port(free)
    {
        Start();
    }
    ~CTestListener() override { EXPECT_TRUE(Stop()); }

    // The stop ends a blocking accept with a connection of its own.
    bool Stop()
    {
        AbortListeningAndTerminate();
        return WaitFor(5000);
    }

    bool Dial(std::shared_ptr<CConnectedSocket>& connection)
    {
        CClientSocketFactory factory(Loopback(), port);
        return WaitUntil([&] { return factory.Connect(connection); });
    }

    const CInternetPort port;
    std::atomic<bool> failing{false};
    std::atomic<int> attempts{0};
    std::atomic<int> units{0};
    std::atomic<int32_t> lastTimeout{0};

protected:
    std::shared_ptr<CParallelWorkUnit> CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) override
    {
        ++attempts;
        if (failing)
            throw CMessageException("no unit for this one");
        lastTimeout = connection->SetInactivityTimeout(60);
        ++units;
        return nullptr;
    }
};

}  // namespace

TEST(Listener, AFailedConnectionIsDroppedAloneAndTheStopMakesNoUnit)
{
    CTestListener listener;
    listener.failing = true;
    testing::internal::CaptureStderr();
    std::shared_ptr<CConnectedSocket> refused, clients[2];
    const bool failed = listener.Dial(refused) && WaitUntil([&] { return listener.attempts == 1; });
    listener.failing = false;
    bool served = true;
    for (int i = 0; i < 2; ++i)
        served = served && listener.Dial(clients[i]) && WaitUntil([&] { return listener.units == i + 1; });
    const bool stopped = listener.Stop();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed && served && stopped);
    EXPECT_EQ(listener.units.load(), 2);
    EXPECT_EQ(listener.lastTimeout, 77);  // the listener's, given to each connection
    EXPECT_NE(log.find("exception caught, dropping the connection: no unit for this one"), std::string::npos) << log;
    EXPECT_EQ(log.find("resetting socket factory"), std::string::npos) << log;
}
