#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "WaitUntil.h"
#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "net/CSocket.h"
#include "net/CSocketFactory.h"
#include "runtime/CListenerThreadBase.h"
#include "runtime/CWorkerThreadPool.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

// A unit with nothing to do: the pool drops it on its first step.
class CDoneUnit : public CParallelWorkUnit {
public:
    CDoneUnit() : CParallelWorkUnit(Format("CDoneUnit(" NERRA_PTR ")", NERRA_PTR_ARG(this))) {}
    bool Process(bool&) override { return false; }
};

// Notes the inactivity time-out each connection arrives with.
class CRecordingListener : public CListenerThreadBase {
public:
    using CListenerThreadBase::CListenerThreadBase;

    std::vector<int32_t> Timeouts()
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        return m_Timeouts;
    }

    std::atomic<bool> failing{false};

protected:
    std::shared_ptr<CParallelWorkUnit> CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) override
    {
        if (failing)
            throw CMessageException("no unit for this one");
        const int32_t timeout = connection->SetInactivityTimeout(60);
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Timeouts.push_back(timeout);
        return std::make_shared<CDoneUnit>();
    }

private:
    std::mutex m_Mutex;
    std::vector<int32_t> m_Timeouts;
};

CInternetAddress Loopback() { return CInternetAddress(std::string("127.0.0.1")); }
CInternetPort AnyPort() { return CInternetPort(std::string("0"), CInternetPort::tcp); }

// A loopback port that nothing listens on at the moment.
CInternetPort FreePort()
{
    return CSocket(Loopback(), AnyPort()).GetBoundPort();
}

class ListenerTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CConfig& config = CConfig::Instance();
        config.SetValue("worker-threads-per-pool", "1");
        config.SetValue("parallel-worker-thread-work-ms", "50");
        config.SetValue("parallel-worker-thread-sleep-ms", "10");
        static std::once_flag started;
        std::call_once(started, [] { ParallelPool().Start(); });
    }

    void SetUp() override { CConfig::Instance().SetValue("incoming-connection-timeout-sec", "77"); }

    void TearDown() override
    {
        if (m_Listener) {
            m_Listener->AbortListeningAndTerminate();
            EXPECT_TRUE(m_Listener->WaitFor(10000));
        }
    }

    CRecordingListener& Start()
    {
        m_Port = std::make_unique<CInternetPort>(FreePort());
        m_Listener = std::make_unique<CRecordingListener>(Loopback(), *m_Port);
        m_Listener->Start();
        return *m_Listener;
    }

    // Connects a client and keeps the connection open.
    void Connect()
    {
        auto factory = std::make_shared<CClientSocketFactory>(Loopback(), AnyPort(), Loopback(), *m_Port);
        std::shared_ptr<CConnectedSocket> connection;
        ASSERT_TRUE(WaitUntil([&] { return factory->Connect(connection); }));
        m_Clients.push_back(connection);
    }

    // True when a connection attempt to the listener's port is refused.
    bool Refused()
    {
        CClientSocketFactory factory(Loopback(), AnyPort(), Loopback(), *m_Port);
        std::shared_ptr<CConnectedSocket> connection;
        try {
            WaitUntil([&] { return factory.Connect(connection); }, 2000);
            return false;
        } catch (const CSocket::CFailedToConnectException&) {
            return true;
        }
    }

    std::unique_ptr<CInternetPort> m_Port;
    std::unique_ptr<CRecordingListener> m_Listener;
    std::vector<std::shared_ptr<CConnectedSocket>> m_Clients;
};

TEST_F(ListenerTest, EachConnectionGetsTheTimeoutSetAtItsArrival)
{
    CRecordingListener& listener = Start();
    Connect();
    ASSERT_TRUE(WaitUntil([&] { return listener.Timeouts().size() == 1; }));
    CConfig::Instance().SetValue("incoming-connection-timeout-sec", "33");
    Connect();
    ASSERT_TRUE(WaitUntil([&] { return listener.Timeouts().size() == 2; }));
    EXPECT_EQ(listener.Timeouts(), (std::vector<int32_t>{77, 33}));
}

TEST_F(ListenerTest, StopsWithoutClientsAndClosesTheWakeUpConnection)
{
    CRecordingListener& listener = Start();
    listener.AbortListeningAndTerminate();
    EXPECT_TRUE(listener.WaitFor(10000));
    EXPECT_TRUE(listener.Timeouts().empty());
    m_Listener.reset();
}

TEST_F(ListenerTest, ConstructionFailsWhenThePortIsTaken)
{
    CServerSocketFactory holder(Loopback(), AnyPort(), CInternetAddress(std::string("0.0.0.0")), AnyPort());
    testing::internal::CaptureStderr();
    EXPECT_THROW(CRecordingListener(Loopback(), holder.GetBoundPort()), CMessageException);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("ERROR CListenerThreadBase::CListenerThreadBase('"), std::string::npos) << log;
}

TEST_F(ListenerTest, FailureDropsTheFactoryAndThePauseEndsOnStop)
{
    CRecordingListener& listener = Start();
    listener.failing = true;
    testing::internal::CaptureStderr();
    Connect();
    // With the factory dropped nothing listens, and the stop finds no accept to wake: the
    // stop request alone must end the pause.
    const bool closed = WaitUntil([&] { return Refused(); });
    listener.AbortListeningAndTerminate();
    const bool stopped = listener.WaitFor(5000);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(stopped);
    EXPECT_NE(log.find("ERROR CListenerThreadBase::Execute(): exception caught, resetting socket factory and sleeping "
                       "for 10 second(s): no unit for this one"),
              std::string::npos)
        << log;
    EXPECT_TRUE(listener.Timeouts().empty());
    m_Listener.reset();
}

}  // namespace
