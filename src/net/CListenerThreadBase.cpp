#include "net/CListenerThreadBase.h"

#include <algorithm>
#include <poll.h>

#include "core/CXMLDocument.h"
#include "core/Trace.h"
#include "net/CSocket.h"

namespace Nerra {

CListenerThreadBase::CListenerThreadBase(const CInternetAddress& address, const CInternetPort& port,
                                         int32_t inactivityTimeout, CWorkerThreadPool<CParallelWorkUnit>& pool)
    : m_Address(address), m_Port(port), m_InactivityTimeout(inactivityTimeout), m_Pool(pool)
{
    NERRA_TRACE_BEGIN
    CreateSocketFactory();
    NERRA_TRACE_END("CListenerThreadBase::CListenerThreadBase('%s', '%s')", address.GetName().c_str(),
                    port.GetName().c_str())
}

void CListenerThreadBase::CreateSocketFactory()
{
    NERRA_TRACE_BEGIN
    auto factory = std::make_shared<CServerSocketFactory>(m_Address, m_Port);
    factory->SetBlocking(true);
    SetSocketFactory(std::move(factory));
    NERRA_TRACE_END("CListenerThreadBase::CreateSocketFactory()")
}

std::shared_ptr<CServerSocketFactory> CListenerThreadBase::GetSocketFactory()
{
    CLockGuard guard(m_SocketFactoryLock);
    return m_SocketFactory;
}

void CListenerThreadBase::SetSocketFactory(std::shared_ptr<CServerSocketFactory> factory)
{
    std::shared_ptr<CServerSocketFactory> previous;
    CLockGuard guard(m_SocketFactoryLock);
    previous.swap(m_SocketFactory);
    m_SocketFactory = std::move(factory);
}

void CListenerThreadBase::AbortListeningAndTerminate()
{
    NERRA_TRACE_BEGIN
    Terminate();
    // Without a factory the thread is pausing after a failure, or about to build a new one
    // and look at the stop request before it accepts: the request alone ends it.
    std::shared_ptr<CServerSocketFactory> factory = GetSocketFactory();
    if (!factory)
        return;
    CInternetAddress address = factory->GetBoundAddress();
    // A socket bound to every interface is reachable through the loopback interface, which
    // needs no name look-up that could fail or name an address the host no longer has.
    if (address.IsAny())
        address = CInternetAddress(std::string("127.0.0.1"));
    CClientSocketFactory client(address, factory->GetBoundPort());
    client.SetBlocking(true);
    std::shared_ptr<CConnectedSocket> connection;
    client.Connect(connection);
    NERRA_TRACE_END("CListenerThreadBase::AbortListeningAndTerminate()")
}

void CListenerThreadBase::Execute()
{
    NERRA_TRACE_BEGIN
    XMLInstallErrorSink();
    uint32_t shortagePause = 0;
    while (!IsTerminating()) {
        try {
            AcceptOne();
            shortagePause = 0;
        } catch (const CSocket::COutOfResourcesException& e) {
            shortagePause = std::min(std::max(shortagePause * 2, SHORTAGE_PAUSE_MS), MAX_SHORTAGE_PAUSE_MS);
            CLog::Instance().Error("CListenerThreadBase::Execute(): accept failed, pausing for %u ms: %s", shortagePause,
                                   e.what());
            Pause(shortagePause);
        } catch (...) {
            LogFailure("CListenerThreadBase::Execute(): exception caught, resetting socket factory and sleeping for %d "
                       "second(s)",
                       FAILURE_PAUSE_SECONDS);
            SetSocketFactory(nullptr);
            Pause(FAILURE_PAUSE_SECONDS * 1000);
        }
    }
    CLog::Instance().Info("CListenerThreadBase::Execute(): listener stopped");
    NERRA_TRACE_END_CONTINUE("CListenerThreadBase::Execute()")
}

void CListenerThreadBase::AcceptOne()
{
    std::shared_ptr<CServerSocketFactory> factory = GetSocketFactory();
    if (!factory) {
        CreateSocketFactory();
        factory = GetSocketFactory();
    }
    // A stop asked for while the factory was being rebuilt found none to wake.
    if (IsTerminating())
        return;
    std::shared_ptr<CConnectedSocket> connection;
    if (!factory->Connect(connection))
        return;
    // Once a stop is asked for, what arrives is the wake-up connection, or a client too late
    // for pools that are about to stop: it is closed at once.
    if (IsTerminating())
        return;
    ServeConnection(connection);
}

// A client that is gone before it is served (reset at once, say) costs its own connection
// only: the socket goes on listening for the others.
void CListenerThreadBase::ServeConnection(const std::shared_ptr<CConnectedSocket>& connection)
{
    try {
        connection->SetInactivityTimeout(m_InactivityTimeout);
        connection->SetBlocking(false);
        if (std::shared_ptr<CParallelWorkUnit> unit = CreateWorkUnit(connection))
            m_Pool.PushWorkUnit(unit, false);
    } catch (...) {
        LogFailure("CListenerThreadBase::Execute(): exception caught, dropping the connection");
    }
}

void CListenerThreadBase::Pause(uint32_t milliseconds)
{
    // The pause ends early on a stop request, so stopping never waits for it.
    pollfd stop{GetStopPollHandle(), POLLIN, 0};
    poll(&stop, 1, static_cast<int>(milliseconds));
}

}  // namespace Nerra
