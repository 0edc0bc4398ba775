#include <gtest/gtest.h>

#include <atomic>

#include "runtime/WaitUntil.h"
#include "net/CSocket.h"
#include "net/CListenerThreadBase.h"

using namespace Nerra;
using NerraTest::WaitUntil;

namespace {

// The units go to a parallel pool that is never started: only their making matters here.
class CDoneUnit : public CParallelWorkUnit {
public:
    CDoneUnit() : CParallelWorkUnit(std::to_string(reinterpret_cast<uintptr_t>(this))) {}
    bool Process(bool&) override { return false; }
};

CInternetAddress Loopback() { return CInternetAddress(std::string("127.0.0.1")); }
CInternetPort AnyPort() { return CInternetPort(std::string("0")); }
CWorkerThreadPool<CParallelWorkUnit>& Pool()
{
    static CWorkerThreadPool<CParallelWorkUnit> pool(1);
    return pool;
}
CInternetPort FreePort() { return CSocket(Loopback(), AnyPort()).GetBoundPort(); }  // bound, then let go

// A running listener, stopped when it goes. It counts the units it made and notes the
// inactivity time-out the last connection arrived with; or it fails to make a unit.
class CTestListener : public CListenerThreadBase {
public:
    explicit CTestListener(const CInternetPort& port = FreePort())
        : CListenerThreadBase(Loopback(), port, 77, Pool()), port(port)
    {
        Start();
    }
    ~CTestListener() override { EXPECT_TRUE(Stop()); }

    // The stop ends a blocking accept with a connection of its own, or a failure pause.
    bool Stop()
    {
        AbortListeningAndTerminate();
        return WaitFor(5000);
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
        return std::make_shared<CDoneUnit>();
    }
};

// Connects to the port; false when nothing listens there.
bool Dial(const CInternetPort& port, std::shared_ptr<CConnectedSocket>& connection)
{
    CClientSocketFactory factory(Loopback(), port);
    factory.SetBlocking(true);
    try {
        return factory.Connect(connection);
    } catch (const CSocket::CFailedToConnectException&) {
        return false;
    }
}

TEST(Listener, EachConnectionTakesTheListenersTimeoutAndTheStopMakesNone)
{
    CTestListener listener;
    std::shared_ptr<CConnectedSocket> clients[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(Dial(listener.port, clients[i]));
        ASSERT_TRUE(WaitUntil([&] { return listener.units == i + 1; }));
        EXPECT_EQ(listener.lastTimeout, 77);
    }
    EXPECT_TRUE(listener.Stop());  // with both clients still connected
    EXPECT_EQ(listener.units.load(), 2);
}

TEST(Listener, SecondListenerOnThePortFailsAndTheFirstStopsWithoutClients)
{
    CTestListener listener;
    testing::internal::CaptureStderr();
    EXPECT_THROW(CTestListener second(listener.port), CMessageException);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(listener.Stop());
    EXPECT_EQ(listener.units.load(), 0);
}

TEST(Listener, AConnectionThatFailsIsDroppedAloneAndTheSocketGoesOnListening)
{
    CTestListener listener;
    listener.failing = true;
    testing::internal::CaptureStderr();
    std::shared_ptr<CConnectedSocket> refused, served;
    ASSERT_TRUE(Dial(listener.port, refused));
    const bool failed = WaitUntil([&] { return listener.attempts == 1; });
    listener.failing = false;
    const bool accepted = Dial(listener.port, served) && WaitUntil([&] { return listener.units == 1; });
    const bool stopped = listener.Stop();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed && accepted && stopped);
    EXPECT_NE(log.find("exception caught, dropping the connection: no unit for this one"), std::string::npos) << log;
    EXPECT_EQ(log.find("resetting socket factory"), std::string::npos) << log;
}

}  // namespace
