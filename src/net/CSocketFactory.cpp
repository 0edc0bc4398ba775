#include "net/CSocketFactory.h"

#include <vector>

#include "core/Trace.h"

namespace Nerra {

CSocketFactory::CSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                               const CInternetAddress& remoteAddress, const CInternetPort& remotePort)
    : m_Socket(std::make_shared<CSocket>(localAddress, localPort)),
      m_LocalAddress(localAddress),
      m_LocalPort(localPort),
      m_RemoteAddress(remoteAddress),
      m_RemotePort(remotePort)
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

CServerSocketFactory::CServerSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                                           const CInternetAddress& remoteAddress, const CInternetPort& remotePort)
try : CSocketFactory(localAddress, localPort, remoteAddress, remotePort) {
    if (m_LocalPort.GetProtocol() == CInternetPort::tcp)
        m_Socket->Listen();
} catch (...) {
    // A factory that cannot bind or listen does not exist: the failure goes on to the caller.
    RethrowWithTrace("CServerSocketFactory::CServerSocketFactory(%s:%s, %s:%s)", localAddress.GetName().c_str(),
                     localPort.GetName().c_str(), remoteAddress.GetName().c_str(), remotePort.GetName().c_str());
}

bool CServerSocketFactory::Connect(std::shared_ptr<CConnectedSocket>& socket)
{
    NERRA_TRACE_BEGIN
    switch (m_LocalPort.GetProtocol()) {
    case CInternetPort::tcp: {
        std::shared_ptr<CSocket> accepted;
        if (!m_Socket->Accept(m_RemoteAddress, m_RemotePort, accepted))
            return false;
        socket = std::make_shared<CConnectedStreamSocket>(std::move(accepted));
        return true;
    }
    case CInternetPort::udp: {
        std::vector<uint8_t> datagram(m_Socket->GetMaxDatagramSize());
        const uint32_t received =
            m_Socket->RecvFrom(m_RemoteAddress, m_RemotePort, datagram.data(), static_cast<uint32_t>(datagram.size()));
        if (received == 0)
            return false;
        socket = std::make_shared<CConnectedDatagramServerSocket>(m_Socket, datagram.data(), received);
        return true;
    }
    }
    throw CMessageException("not reached");
    NERRA_TRACE_END("CServerSocketFactory::Connect(" NERRA_PTR ")", NERRA_PTR_ARG(&socket))
}

CClientSocketFactory::CClientSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                                           const CInternetAddress& remoteAddress, const CInternetPort& remotePort)
    : CSocketFactory(localAddress, localPort, remoteAddress, remotePort)
{
}

bool CClientSocketFactory::Connect(std::shared_ptr<CConnectedSocket>& socket)
{
    NERRA_TRACE_BEGIN
    switch (m_LocalPort.GetProtocol()) {
    case CInternetPort::tcp: {
        if (!m_Socket->Connect(m_RemoteAddress, m_RemotePort))
            return false;
        auto fresh = std::make_shared<CSocket>(m_LocalAddress, m_LocalPort);
        if (m_Blocking)
            fresh->SetBlocking(true);
        socket = std::make_shared<CConnectedStreamSocket>(m_Socket);
        m_Socket = std::move(fresh);
        return true;
    }
    case CInternetPort::udp:
        socket = std::make_shared<CConnectedDatagramClientSocket>(m_Socket, m_RemoteAddress, m_RemotePort);
        return true;
    }
    throw CMessageException("Invalid socket type: '%s'", m_LocalPort.GetProtocolText());
    NERRA_TRACE_END("CClientSocketFactory::Connect(" NERRA_PTR ")", NERRA_PTR_ARG(&socket))
}

}  // namespace Nerra
