#include "net/CSocketFactory.h"

#include "core/Trace.h"

namespace Nerra {

namespace {
CInternetAddress AnyAddress() { return CInternetAddress(0u); }
CInternetPort AnyPort() { return CInternetPort(static_cast<uint16_t>(0)); }
}  // namespace

CSocketFactory::CSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort)
    : m_Socket(std::make_shared<CSocket>(localAddress, localPort))
{
}

CSocketFactory::~CSocketFactory() = default;

void CSocketFactory::SetBlocking(bool blocking)
{
    NERRA_TRACE_BEGIN
    m_Socket->SetBlocking(blocking);
    m_Blocking = blocking;
    NERRA_TRACE_END("CSocketFactory::SetBlocking(%s)", blocking ? "true" : "false")
}

CInternetAddress CSocketFactory::GetBoundAddress() const
{
    return m_Socket->GetBoundAddress();
}

CInternetPort CSocketFactory::GetBoundPort() const
{
    return m_Socket->GetBoundPort();
}

int CSocketFactory::GetPollDescriptor() const
{
    return m_Socket->GetPollDescriptor();
}

CServerSocketFactory::CServerSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort)
try : CSocketFactory(localAddress, localPort) {
    m_Socket->Listen();
} catch (...) {
    // A factory that cannot bind or listen does not exist: the failure goes on to the caller.
    RethrowWithTrace("CServerSocketFactory::CServerSocketFactory(%s:%s, 0.0.0.0:0)", localAddress.GetName().c_str(),
                     localPort.GetName().c_str());
}

bool CServerSocketFactory::Connect(std::shared_ptr<CConnectedSocket>& socket)
{
    NERRA_TRACE_BEGIN
    std::shared_ptr<CSocket> accepted;
    if (!m_Socket->Accept(accepted))
        return false;
    socket = std::make_shared<CConnectedSocket>(std::move(accepted));
    return true;
    NERRA_TRACE_END("CServerSocketFactory::Connect(" NERRA_PTR ")", NERRA_PTR_ARG(&socket))
}

CClientSocketFactory::CClientSocketFactory(const CInternetAddress& remoteAddress, const CInternetPort& remotePort)
    : CSocketFactory(AnyAddress(), AnyPort()), m_RemoteAddress(remoteAddress), m_RemotePort(remotePort)
{
}

bool CClientSocketFactory::Connect(std::shared_ptr<CConnectedSocket>& socket)
{
    NERRA_TRACE_BEGIN
    if (!m_Socket->Connect(m_RemoteAddress, m_RemotePort))
        return false;
    auto fresh = std::make_shared<CSocket>(AnyAddress(), AnyPort());
    if (m_Blocking)
        fresh->SetBlocking(true);
    socket = std::make_shared<CConnectedSocket>(m_Socket);
    m_Socket = std::move(fresh);
    return true;
    NERRA_TRACE_END("CClientSocketFactory::Connect(" NERRA_PTR ")", NERRA_PTR_ARG(&socket))
}

}  // namespace Nerra
