#include "net/CConnectedSocket.h"

#include <poll.h>
#include <time.h>

#include "core/Trace.h"
#include "net/CTlsContext.h"
#include "net/CTlsSession.h"

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
    case xferUPTO: return "upto";
    case xferLINE: return "line";
    }
    return "unknown";
}

CConnectedSocket::CConnectedSocket(std::shared_ptr<CSocket> socket)
    : m_Socket(std::move(socket)), m_Scratch(new uint8_t[RECV_CHUNK]), m_LastActivity(NowSeconds())
{
}

CConnectedSocket::~CConnectedSocket()
{
    NERRA_TRACE_BEGIN
    if (m_Input.GetSize() > 0)
        CLog::Instance().Warning("Pending input: %u bytes discarded", m_Input.GetSize());
    if (m_Output.GetSize() > 0)
        CLog::Instance().Warning("Pending output: %u bytes discarded", m_Output.GetSize());
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

void CConnectedSocket::CheckInactivity() const
{
    if (NowSeconds() > m_LastActivity + m_InactivityTimeout)
        throw CMessageException("Inactivity timeout %u seconds", static_cast<unsigned>(m_InactivityTimeout));
}

void CConnectedSocket::ValidateRecvArguments(const void* buffer, uint32_t length, ETransferMode mode,
                                             const std::string* line)
{
    switch (mode) {
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

uint32_t CConnectedSocket::Send(const void* data, uint32_t length)
{
    NERRA_TRACE_BEGIN
    CheckInactivity();
    if (data && length > 0) {
        m_Output.Write(data, length);
        if (m_Output.GetSize() <= FLUSH_THRESHOLD && !IsHalfIdle())
            return m_Output.GetSize();
    }
    if (m_Tls)
        FlushThroughTls();
    else if (m_Output.GetSize() > 0)
        SendPlain(m_Output.GetSize());
    return m_Output.GetSize();
    NERRA_TRACE_END("CConnectedSocket::Send(" NERRA_PTR ", %u)", NERRA_PTR_ARG(data), length)
}

uint32_t CConnectedSocket::Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line)
{
    NERRA_TRACE_BEGIN
    ValidateRecvArguments(buffer, length, mode, line);
    CheckInactivity();
    // The socket is read only when the buffer cannot satisfy the request, so a burst of
    // pipelined lines costs one socket call.
    for (;;) {
        const uint32_t pending = m_Input.GetSize();
        if (mode == xferUPTO && pending > 0)
            return m_Input.Read(buffer, length);
        if (mode == xferLINE) {
            if (uint32_t delivered = m_Input.ReadLine(line))
                return delivered;
        }
        const uint32_t received = ReceiveChunk();
        if (received == 0)
            return 0;
        m_Input.Write(m_Scratch.get(), received);
    }
    NERRA_TRACE_END("CConnectedSocket::Recv(" NERRA_PTR ", %u, %s, " NERRA_PTR ")", NERRA_PTR_ARG(buffer), length,
                    TransferModeName(mode), NERRA_PTR_ARG(line))
}

short CConnectedSocket::GetPollEvents(short wanted) const
{
    if (!m_Tls)
        return wanted;
    if (m_PlainOutput > 0)
        return wanted ? POLLOUT : 0;
    return m_Tls->GetPollEvents(wanted);
}

void CConnectedSocket::StartTlsServer(const CTlsContext& context)
{
    NERRA_TRACE_BEGIN
    if (!context.IsServer())
        throw CMessageException("A client's TLS context cannot serve a connection");
    StartTls(std::make_unique<CTlsSession>(context, m_Socket, std::string(), std::string()));
    NERRA_TRACE_END("CConnectedSocket::StartTlsServer()")
}

void CConnectedSocket::StartTlsClient(const CTlsContext& context, const std::string& hostName,
                                            const std::string& fingerprint)
{
    NERRA_TRACE_BEGIN
    if (context.IsServer())
        throw CMessageException("A server's TLS context cannot connect to a server");
    StartTls(std::make_unique<CTlsSession>(context, m_Socket, hostName, fingerprint));
    NERRA_TRACE_END("CConnectedSocket::StartTlsClient('%s', '%s')", hostName.c_str(), fingerprint.c_str())
}

ETlsHandshake CConnectedSocket::ContinueTlsHandshake()
{
    if (!m_Tls)
        throw CMessageException("TLS is not active on this connection");
    if (!m_Tls->GetFailure().empty())
        return tlsFAILED;
    const uint64_t before = m_Tls->GetSocketBytes();
    try {
        // A peer that never completes the handshake is given up like one that goes quiet.
        CheckInactivity();
        const bool complete = AdvanceTlsHandshake();
        TouchIfMoved(before);
        return complete ? tlsCOMPLETE : tlsPENDING;
    } catch (const std::exception& e) {
        m_Tls->NoteFailure(e.what());
        return tlsFAILED;
    }
}

bool CConnectedSocket::IsTlsHandshakeComplete() const
{
    return m_Tls && m_Tls->IsHandshakeComplete();
}

std::string CConnectedSocket::GetTlsFailure() const
{
    return m_Tls ? m_Tls->GetFailure() : std::string();
}

void CConnectedSocket::StartTls(std::unique_ptr<CTlsSession> session)
{
    if (m_Tls)
        throw CMessageException("TLS is already active on this connection");
    if (m_Input.GetSize() > 0)
        throw CMessageException("%u bytes of plain input arrived ahead of the TLS handshake", m_Input.GetSize());
    m_PlainOutput = m_Output.GetSize();
    m_Tls = std::move(session);
}

uint32_t CConnectedSocket::SendPlain(uint32_t length)
{
    const uint32_t sent = m_Socket->Send(m_Output.GetData(), length);
    if (sent > 0) {
        m_Output.Read(nullptr, sent);
        Touch();
    }
    return sent;
}

bool CConnectedSocket::AdvanceTlsHandshake()
{
    if (m_PlainOutput > 0) {
        m_PlainOutput -= SendPlain(m_PlainOutput);
        if (m_PlainOutput > 0)
            return false;
    }
    return m_Tls->Handshake();
}

void CConnectedSocket::FlushThroughTls()
{
    const uint64_t before = m_Tls->GetSocketBytes();
    if (AdvanceTlsHandshake()) {
        while (m_Output.GetSize() > 0) {
            const uint32_t taken = m_Tls->Write(m_Output.GetData(), m_Output.GetSize());
            if (taken == 0)
                break;
            m_Output.Read(nullptr, taken);
        }
    }
    TouchIfMoved(before);
}

uint32_t CConnectedSocket::ReceiveChunk()
{
    if (!m_Tls) {
        const uint32_t received = m_Socket->Recv(m_Scratch.get(), RECV_CHUNK);
        if (received > 0)
            Touch();
        return received;
    }
    const uint64_t before = m_Tls->GetSocketBytes();
    const uint32_t received = AdvanceTlsHandshake() ? m_Tls->Read(m_Scratch.get(), RECV_CHUNK) : 0;
    TouchIfMoved(before);
    return received;
}

void CConnectedSocket::TouchIfMoved(uint64_t socketBytesBefore)
{
    if (m_Tls->GetSocketBytes() != socketBytesBefore)
        Touch();
}

}  // namespace Nerra
