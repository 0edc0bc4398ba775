#include "net/CConnectedSocket.h"

#include <time.h>

#include "core/Trace.h"

namespace Nerra {

namespace {

// A monotonic clock, so that setting the system time neither expires every connection at
// once nor keeps a dead one alive.
int64_t NowSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

const char* BoolText(bool value)
{
    return value ? "true" : "false";
}

}  // namespace

const char* TransferModeName(ETransferMode mode)
{
    switch (mode) {
    case xferEXACT: return "exact";
    case xferUPTO: return "upto";
    case xferLINE: return "line";
    }
    return "unknown";
}

CConnectedSocket::CConnectedSocket(std::shared_ptr<CSocket> socket, bool hasInput, bool hasOutput)
    : m_Socket(std::move(socket)), m_LastActivity(NowSeconds())
{
    if (hasInput)
        m_Input = std::make_shared<CStreamBuffer>();
    if (hasOutput)
        m_Output = std::make_shared<CStreamBuffer>();
}

CConnectedSocket::~CConnectedSocket()
{
    NERRA_TRACE_BEGIN
    if (m_Input && m_Input->GetSize() > 0)
        CLog::Instance().Warning("Pending input: %u bytes discarded", m_Input->GetSize());
    if (m_Output && m_Output->GetSize() > 0)
        CLog::Instance().Warning("Pending output: %u bytes discarded", m_Output->GetSize());
    NERRA_TRACE_END_CONTINUE("CConnectedSocket::~CConnectedSocket()")
}

uint32_t CConnectedSocket::SendLine(const std::string& text)
{
    NERRA_TRACE_BEGIN
    return Send(text.data(), static_cast<uint32_t>(text.size()));
    NERRA_TRACE_END("CConnectedSocket::SendLine('%s')", text.c_str())
}

void CConnectedSocket::SetBlocking(bool blocking)
{
    NERRA_TRACE_BEGIN
    m_Socket->SetBlocking(blocking);
    NERRA_TRACE_END("CConnectedSocket::SetBlocking(%s)", BoolText(blocking))
}

CInternetAddress CConnectedSocket::GetPeerAddress() const
{
    NERRA_TRACE_BEGIN
    return m_Socket->GetPeerAddress();
    NERRA_TRACE_END("CConnectedSocket::GetPeerAddress()")
}

int32_t CConnectedSocket::SetInactivityTimeout(int32_t seconds)
{
    NERRA_TRACE_BEGIN
    const int32_t previous = m_InactivityTimeout;
    m_InactivityTimeout = seconds;
    CheckInactivity();
    return previous;
    NERRA_TRACE_END("CConnectedSocket::SetInactivityTimeout(%d)", seconds)
}

void CConnectedSocket::Touch()
{
    m_LastActivity = NowSeconds();
}

bool CConnectedSocket::IsHalfIdle() const
{
    return NowSeconds() > m_LastActivity + m_InactivityTimeout / 2;
}

int CConnectedSocket::GetPollDescriptor() const
{
    return m_Socket->GetPollDescriptor();
}

bool CConnectedSocket::HasPendingOutput() const
{
    return m_Output && m_Output->GetSize() > 0;
}

void CConnectedSocket::CheckInactivity() const
{
    if (NowSeconds() > m_LastActivity + m_InactivityTimeout)
        throw CMessageException("Inactivity timeout %u seconds", static_cast<unsigned>(m_InactivityTimeout));
}

void CConnectedSocket::ValidateRecvArguments(const void* buffer, uint32_t length, ETransferMode mode,
                                             const std::string* line)
{
    switch (mode) {
    case xferEXACT:
    case xferUPTO:
        if (!buffer || length == 0)
            throw CMessageException("Invalid buffer with xferEXACT or xferUPTO");
        return;
    case xferLINE:
        if (!line)
            throw CMessageException("Null pointer to a string with xferLINE");
        return;
    }
    throw CMessageException("not reached");
}

CConnectedStreamSocket::CConnectedStreamSocket(std::shared_ptr<CSocket> socket)
    : CConnectedSocket(std::move(socket), true, true)
{
    m_Scratch.reset(new uint8_t[RECV_CHUNK]);
}

uint32_t CConnectedStreamSocket::Send(const void* data, uint32_t length)
{
    NERRA_TRACE_BEGIN
    CheckInactivity();
    if (data && length > 0) {
        m_Output->Write(data, length);
        if (m_Output->GetSize() <= FLUSH_THRESHOLD && !IsHalfIdle())
            return m_Output->GetSize();
    }
    if (m_Output->GetSize() > 0) {
        uint32_t sent = m_Socket->Send(m_Output->GetData(), m_Output->GetSize());
        if (sent > 0) {
            m_Output->Read(nullptr, sent);
            Touch();
        }
    }
    return m_Output->GetSize();
    NERRA_TRACE_END("CConnectedStreamSocket::Send(" NERRA_PTR ", %u)", NERRA_PTR_ARG(data), length)
}

uint32_t CConnectedStreamSocket::Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line)
{
    NERRA_TRACE_BEGIN
    ValidateRecvArguments(buffer, length, mode, line);
    CheckInactivity();
    // The socket is read only when the buffer cannot satisfy the request, so a burst of
    // pipelined lines costs one socket call.
    for (;;) {
        const uint32_t pending = m_Input->GetSize();
        if (mode == xferEXACT && pending >= length)
            return m_Input->Read(buffer, length);
        if (mode == xferUPTO && pending > 0)
            return m_Input->Read(buffer, length);
        if (mode == xferLINE) {
            if (uint32_t delivered = m_Input->ReadLine(line))
                return delivered;
        }
        const uint32_t received = m_Socket->Recv(m_Scratch.get(), RECV_CHUNK);
        if (received == 0)
            return 0;
        m_Input->Write(m_Scratch.get(), received);
        Touch();
    }
    NERRA_TRACE_END("CConnectedStreamSocket::Recv(" NERRA_PTR ", %u, %s, " NERRA_PTR ")", NERRA_PTR_ARG(buffer), length,
                    TransferModeName(mode), NERRA_PTR_ARG(line))
}

CConnectedDatagramClientSocket::CConnectedDatagramClientSocket(std::shared_ptr<CSocket> socket,
                                                               const CInternetAddress& peerAddress,
                                                               const CInternetPort& peerPort)
    : CConnectedSocket(std::move(socket), false, true), m_PeerAddress(peerAddress), m_PeerPort(peerPort)
{
}

uint32_t CConnectedDatagramClientSocket::Send(const void* data, uint32_t length)
{
    NERRA_TRACE_BEGIN
    CheckInactivity();
    const uint32_t maxSize = m_Socket->GetMaxDatagramSize();
    if (length > maxSize)
        throw CMessageException("Too much data to be sent in a single datagram, may not exceed %u bytes", maxSize);
    if (data && length > 0) {
        if (m_Output->GetSize() > 0)
            throw CMessageException("Connected datagram client socket can only be sent to once");
        m_Output->Write(data, length);
    }
    const uint32_t pending = m_Output->GetSize();
    if (pending > 0) {
        // The factory hands the same socket to every client it makes.
        CLockGuard guard(*m_Socket);
        const uint32_t sent = m_Socket->SendTo(m_PeerAddress, m_PeerPort, m_Output->GetData(), pending);
        if (sent == pending) {
            m_Output->Read(nullptr, pending);
            Touch();
        } else if (sent != 0) {
            throw CMessageException("Datagram sendto semantics violation, sent incomplete packet: %u out of %u bytes",
                                    sent, pending);
        }
    }
    return m_Output->GetSize();
    NERRA_TRACE_END("CConnectedDatagramClientSocket::Send(" NERRA_PTR ", %u)", NERRA_PTR_ARG(data), length)
}

uint32_t CConnectedDatagramClientSocket::Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line)
{
    NERRA_TRACE_BEGIN
    throw CMessageException("Connected datagram client socket can not be used for receiving");
    NERRA_TRACE_END("CConnectedDatagramClientSocket::Recv(" NERRA_PTR ", %u, %s, " NERRA_PTR ")", NERRA_PTR_ARG(buffer),
                    length, TransferModeName(mode), NERRA_PTR_ARG(line))
}

CConnectedDatagramServerSocket::CConnectedDatagramServerSocket(std::shared_ptr<CSocket> socket, const void* data,
                                                               uint32_t length)
    : CConnectedSocket(std::move(socket), true, false)
{
    NERRA_TRACE_BEGIN
    m_Input->Write(data, length);
    NERRA_TRACE_END("CConnectedDatagramServerSocket::CConnectedDatagramServerSocket(" NERRA_PTR ", %u)",
                    NERRA_PTR_ARG(data), length)
}

uint32_t CConnectedDatagramServerSocket::Send(const void* data, uint32_t length)
{
    NERRA_TRACE_BEGIN
    throw CMessageException("Connected datagram server socket can not be used for sending");
    NERRA_TRACE_END("CConnectedDatagramServerSocket::Send(" NERRA_PTR ", %u)", NERRA_PTR_ARG(data), length)
}

uint32_t CConnectedDatagramServerSocket::Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line)
{
    NERRA_TRACE_BEGIN
    ValidateRecvArguments(buffer, length, mode, line);
    CheckInactivity();
    const uint32_t remaining = m_Input->GetSize();
    switch (mode) {
    case xferLINE:
        if (uint32_t delivered = m_Input->ReadLine(line))
            return delivered;
        throw CMessageException("An attempt to read a line from a connected datagram server socket fails, the "
                                "remaining %u bytes do not contain a properly terminated line of text",
                                remaining);
    case xferUPTO:
        if (remaining == 0)
            throw CMessageException(
                "An attempt to read from a connected datagram server socket fails, no data is available");
        return m_Input->Read(buffer, length);
    case xferEXACT:
        if (remaining < length)
            throw CMessageException(
                "An attempt to read %u bytes from a connected datagram server socket fails, only %u is available",
                length, remaining);
        return m_Input->Read(buffer, length);
    }
    throw CMessageException("not reached");
    NERRA_TRACE_END("CConnectedDatagramServerSocket::Recv(" NERRA_PTR ", %u, %s, " NERRA_PTR ")", NERRA_PTR_ARG(buffer),
                    length, TransferModeName(mode), NERRA_PTR_ARG(line))
}

}  // namespace Nerra
