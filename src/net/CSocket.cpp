#include "net/CSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/Trace.h"
#include "net/CNetwork.h"

namespace Nerra {

namespace {

// Linux drops connection attempts beyond the backlog, so a burst of mail clients would
// stall in retries with a short queue: take as many as the system allows.
constexpr int LISTEN_BACKLOG = SOMAXCONN;

sockaddr_in SocketAddress(const CInternetAddress& address, const CInternetPort& port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address.GetNetworkOrder();
    result.sin_port = port.GetNetworkOrder();
    return result;
}

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Linux hands a queued connection's pending network error to accept(): that connection is
// gone, and the next one may be taken at once.
bool ConnectionGone(int error)
{
    switch (error) {
    case ECONNABORTED: case ENETDOWN: case EPROTO: case ENOPROTOOPT: case EHOSTDOWN:
    case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    }
    return false;
}

bool OutOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Turns the result of one transfer call into a byte count: a call that would block moved
// nothing, and 0 bytes for a non-zero length means the peer has gone.
uint32_t Transferred(ssize_t result, uint32_t length, const char* call)
{
    if (result < 0) {
        int error = errno;
        if (WouldBlock(error))
            return 0;
        throw CMessageException("%s failed with WSAGetLastError=%d", call, error);
    }
    if (result == 0 && length > 0)
        throw CMessageException("%s returned reset connection with WSAGetLastError=%d", call, errno);
    return static_cast<uint32_t>(result);
}

const char* BoolText(bool value)
{
    return value ? "true" : "false";
}

}  // namespace

class CSocket::CSocketImpl {
public:
    CSocketImpl(const CInternetAddress& address, const CInternetPort& port)
    {
        NERRA_TRACE_BEGIN
        CNetwork::Instance();
        try {
            Create(address, port);
        } catch (...) {
            CloseQuietly();
            throw;
        }
        NERRA_TRACE_END("CSocketImpl::CSocketImpl(%s:%s, tcp)", address.GetDottedText().c_str(),
                        port.GetDecimalText().c_str())
    }

    // Around a handle just accepted from a listening socket.
    explicit CSocketImpl(int handle) : m_Handle(handle)
    {
        NERRA_TRACE_BEGIN
        try {
            SetBlocking(false);
        } catch (...) {
            CloseQuietly();
            throw;
        }
        NERRA_TRACE_END("CSocketImpl::CSocketImpl(%d, tcp)", handle)
    }

    ~CSocketImpl() { CloseQuietly(); }

    CSocketImpl(const CSocketImpl&) = delete;
    CSocketImpl& operator=(const CSocketImpl&) = delete;

    CInternetAddress GetPeerAddress() const
    {
        NERRA_TRACE_BEGIN
        sockaddr_in peer{};
        socklen_t size = sizeof(peer);
        if (getpeername(m_Handle, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
            throw CMessageException("getpeername() failed with WSAGetLastError=%d", errno);
        return CInternetAddress(ntohl(peer.sin_addr.s_addr));
        NERRA_TRACE_END("CSocketImpl::GetPeerAddress()")
    }

    void Listen()
    {
        NERRA_TRACE_BEGIN
        if (listen(m_Handle, LISTEN_BACKLOG) != 0)
            throw CMessageException("listen() failed with WSAGetLastError=%d", errno);
        NERRA_TRACE_END("CSocketImpl::Listen()")
    }

    void SetBlocking(bool blocking)
    {
        NERRA_TRACE_BEGIN
        int nonBlocking = blocking ? 0 : 1;
        if (ioctl(m_Handle, FIONBIO, &nonBlocking) != 0)
            throw CMessageException("ioctlsocket(FIONBIO) failed with WSAGetLastError=%d", errno);
        NERRA_TRACE_END("CSocketImpl::SetBlocking(%s)", BoolText(blocking))
    }

    bool Connect(const CInternetAddress& address, const CInternetPort& port)
    {
        NERRA_TRACE_BEGIN
        if (m_ConnectInProgress)
            return PollConnectionAttempt();
        sockaddr_in remote = SocketAddress(address, port);
        if (connect(m_Handle, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) == 0)
            return true;
        int error = errno;
        // An interrupted connect goes on in the background, like one that would block.
        if (error == EINPROGRESS || error == EALREADY || WouldBlock(error)) {
            m_ConnectInProgress = true;
            return false;
        }
        throw CFailedToConnectException("connection attempt to %s:%s failed with WSAGetLastError=%d",
                                        address.GetDottedText().c_str(), port.GetDecimalText().c_str(), error);
        NERRA_TRACE_END("CSocketImpl::Connect(%s:%s)", address.GetName().c_str(), port.GetName().c_str())
    }

    // Returns the accepted handle, or -1 when nothing was taken.
    int Accept()
    {
        NERRA_TRACE_BEGIN
        int handle = accept4(m_Handle, nullptr, nullptr, SOCK_CLOEXEC);
        if (handle < 0) {
            int error = errno;
            if (WouldBlock(error) || ConnectionGone(error))
                return -1;
            if (OutOfResources(error))
                throw COutOfResourcesException("accept() failed with WSAGetLastError=%d", error);
            throw CMessageException("accept() failed with WSAGetLastError=%d", error);
        }
        // Served connections gather their replies into few writes themselves. Held back by
        // Nagle's algorithm, a write smaller than a segment (a TLS record, the end of a batch)
        // would wait for the client's delayed acknowledgement.
        const int noDelay = 1;
        setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
        return handle;
        NERRA_TRACE_END("CSocketImpl::Accept(0.0.0.0:0)")
    }

    uint32_t Send(const void* buffer, uint32_t length)
    {
        NERRA_TRACE_BEGIN
        errno = 0;
        return Transferred(send(m_Handle, buffer, length, MSG_NOSIGNAL), length, "send()");
        NERRA_TRACE_END("CSocketImpl::Send(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), length)
    }

    uint32_t Recv(void* buffer, uint32_t length)
    {
        NERRA_TRACE_BEGIN
        errno = 0;
        return Transferred(recv(m_Handle, buffer, length, 0), length, "recv()");
        NERRA_TRACE_END("CSocketImpl::Recv(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), length)
    }

    // The system picks the port (and, for a connected socket, the address) when they were
    // given as 0, so the values are read back rather than copied from the request.
    sockaddr_in GetBound() const
    {
        NERRA_TRACE_BEGIN
        sockaddr_in bound{};
        socklen_t size = sizeof(bound);
        if (getsockname(m_Handle, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
            throw CMessageException("getsockname() failed with WSAGetLastError=%d", errno);
        return bound;
        NERRA_TRACE_END("CSocketImpl::FetchActualBoundAddressAndPort(tcp)")
    }

    bool m_ConnectInProgress = false;
    int m_Handle = -1;

private:
    void Create(const CInternetAddress& address, const CInternetPort& port)
    {
        m_Handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (m_Handle < 0)
            throw CMessageException("socket() failed with WSAGetLastError=%d", errno);

        int reuse = 1;
        if (setsockopt(m_Handle, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0)
            throw CMessageException("setsockopt(SO_REUSEADDR) failed with WSAGetLastError=%d", errno);

        sockaddr_in local = SocketAddress(address, port);
        if (bind(m_Handle, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
            throw CMessageException("bind(%s:%s) failed with WSAGetLastError=%d", address.GetDottedText().c_str(),
                                    port.GetDecimalText().c_str(), errno);

        SetBlocking(false);
    }

    // The system reports a settled non-blocking connect as writable, whether it succeeded
    // or not; the socket's pending error tells which.
    bool PollConnectionAttempt()
    {
        pollfd entry{m_Handle, POLLOUT, 0};
        int ready = poll(&entry, 1, 0);
        if (ready < 0) {
            if (errno == EINTR)
                return false;
            throw CMessageException("select(wr) failed with WSAGetLastError=%d", errno);
        }
        if (ready == 0)
            return false;
        int error = 0;
        socklen_t size = sizeof(error);
        if (getsockopt(m_Handle, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            throw CMessageException("getsockopt(SO_ERROR) failed with WSAGetLastError=%d", errno);
        m_ConnectInProgress = false;
        if (error != 0)
            throw CFailedToConnectException("non-blocking connection attempt failed");
        return true;
    }

    void Cleanup()
    {
        NERRA_TRACE_BEGIN
        if (m_Handle < 0)
            return;
        try {
            SetBlocking(true);
        } catch (...) {
            LogFailure("CSocketImpl::Cleanup(): ignoring SetBlocking() failure and proceeding with closing socket");
        }
        // Not connected (a listening or unconnected socket) is the only expected failure.
        shutdown(m_Handle, SHUT_RDWR);
        const int handle = m_Handle;
        m_Handle = -1;
        if (close(handle) != 0)
            throw CMessageException("closesocket() failed with WSAGetLastError=%d", errno);
        NERRA_TRACE_END("CSocketImpl::Cleanup()")
    }

    // Destruction and failed construction close the handle without throwing.
    void CloseQuietly()
    {
        NERRA_TRACE_BEGIN
        Cleanup();
        NERRA_TRACE_END_CONTINUE("CSocketImpl::~CSocketImpl()")
    }
};

CSocket::CFailedToConnectException::CFailedToConnectException(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    m_Message = VFormat(format, args);
    va_end(args);
}

CSocket::COutOfResourcesException::COutOfResourcesException(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    m_Message = VFormat(format, args);
    va_end(args);
}

CSocket::CSocket(const CInternetAddress& localAddress, const CInternetPort& localPort)
    : m_Impl(std::make_shared<CSocketImpl>(localAddress, localPort))
{
}

CSocket::CSocket(std::shared_ptr<CSocketImpl> impl) : m_Impl(std::move(impl)) {}

CSocket::~CSocket() = default;

CInternetAddress CSocket::GetBoundAddress() const
{
    NERRA_TRACE_BEGIN
    return CInternetAddress(ntohl(m_Impl->GetBound().sin_addr.s_addr));
    NERRA_TRACE_END("CSocket::GetBoundAddress()")
}

CInternetPort CSocket::GetBoundPort() const
{
    NERRA_TRACE_BEGIN
    return CInternetPort(ntohs(m_Impl->GetBound().sin_port));
    NERRA_TRACE_END("CSocket::GetBoundPort()")
}

CInternetAddress CSocket::GetPeerAddress() const
{
    NERRA_TRACE_BEGIN
    return m_Impl->GetPeerAddress();
    NERRA_TRACE_END("CSocket::GetPeerAddress()")
}

void CSocket::Listen()
{
    NERRA_TRACE_BEGIN
    m_Impl->Listen();
    NERRA_TRACE_END("CSocket::Listen()")
}

bool CSocket::Connect(const CInternetAddress& address, const CInternetPort& port)
{
    NERRA_TRACE_BEGIN
    return m_Impl->Connect(address, port);
    NERRA_TRACE_END("CSocket::Connect(%s:%s)", address.GetName().c_str(), port.GetName().c_str())
}

bool CSocket::Accept(std::shared_ptr<CSocket>& newSocket)
{
    NERRA_TRACE_BEGIN
    int handle = m_Impl->Accept();
    if (handle < 0)
        return false;
    // The record owns the handle from here on, and closes it should its construction fail.
    auto impl = std::make_shared<CSocketImpl>(handle);
    newSocket = std::shared_ptr<CSocket>(new CSocket(std::move(impl)));
    return true;
    NERRA_TRACE_END("CSocket::Accept(0.0.0.0:0, " NERRA_PTR ")", NERRA_PTR_ARG(&newSocket))
}

uint32_t CSocket::Send(const void* buffer, uint32_t length)
{
    NERRA_TRACE_BEGIN
    return m_Impl->Send(buffer, length);
    NERRA_TRACE_END("CSocket::Send(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), length)
}

uint32_t CSocket::Recv(void* buffer, uint32_t length)
{
    NERRA_TRACE_BEGIN
    return m_Impl->Recv(buffer, length);
    NERRA_TRACE_END("CSocket::Recv(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), length)
}

void CSocket::SetBlocking(bool blocking)
{
    NERRA_TRACE_BEGIN
    m_Impl->SetBlocking(blocking);
    NERRA_TRACE_END("CSocket::SetBlocking(%s)", BoolText(blocking))
}

int CSocket::GetPollDescriptor() const
{
    return m_Impl->m_Handle;
}

}  // namespace Nerra
