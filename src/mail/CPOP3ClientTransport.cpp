#include "mail/CPOP3ClientTransport.h"

#include <algorithm>
#include <poll.h>

#include "core/Trace.h"
#include "net/CConnectedSocket.h"
#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "net/CNetwork.h"
#include "net/CSocketFactory.h"
#include "net/CTlsContext.h"

namespace Nerra {

namespace {

// The transport keeps no more of one line than this: a server that never ends a line must
// not make the connection hold it all.
constexpr size_t MAX_RECEIVED_LINE = 65536;
constexpr uint32_t RECEIVE_CHUNK = 65536;
// Socket reads one search for a line end may make before the step ends.
constexpr int MAX_READS_PER_LINE = 16;

}  // namespace

void CPOP3ClientTransport::StartTls()
{
    throw CMessageException("This connection cannot switch to TLS");
}

CPOP3ClientSocketTransport::CPOP3ClientSocketTransport(const std::string& host, const std::string& port)
    : m_Host(host), m_Port(port)
{
    NERRA_TRACE_BEGIN
    CNetwork::Instance();
    m_Connector = std::make_shared<CClientSocketFactory>(CInternetAddress(host), CInternetPort(port));
    NERRA_TRACE_END("CPOP3ClientSocketTransport::CPOP3ClientSocketTransport('%s', '%s')", host.c_str(), port.c_str())
}

CPOP3ClientSocketTransport::~CPOP3ClientSocketTransport() = default;

bool CPOP3ClientSocketTransport::Connect()
{
    NERRA_TRACE_BEGIN
    if (m_Socket)
        return true;
    std::shared_ptr<CConnectedSocket> socket;
    if (!m_Connector->Connect(socket))
        return false;
    m_Socket = std::move(socket);
    m_Connector.reset();
    return true;
    NERRA_TRACE_END("CPOP3ClientSocketTransport::Connect()")
}

void CPOP3ClientSocketTransport::SetInactivityTimeout(int32_t seconds)
{
    m_Socket->SetInactivityTimeout(seconds);
}

void CPOP3ClientSocketTransport::Send(const std::string& text)
{
    // Not SendLine: its trace would show a failed PASS command with the password.
    m_Socket->Send(text.data(), static_cast<uint32_t>(text.size()));
}

bool CPOP3ClientSocketTransport::Flush()
{
    return m_Socket->Send(nullptr, 0) == 0;
}

bool CPOP3ClientSocketTransport::ReceiveLine(std::string& line)
{
    NERRA_TRACE_BEGIN
    // Lines are split here rather than in the socket's buffer, which refuses lines beyond
    // its size: one such line would stop every later fetch of the mailbox.
    for (int reads = 0;; ++reads) {
        const size_t feed = m_Input.find('\n', m_InputStart);
        const size_t end = feed == std::string::npos ? m_Input.size() : feed;
        const size_t room = MAX_RECEIVED_LINE - m_Line.size();
        if (end - m_InputStart > room)
            m_LineCut = true;
        m_Line.append(m_Input, m_InputStart, std::min(room, end - m_InputStart));
        if (feed != std::string::npos) {
            m_InputStart = feed + 1;
            if (!m_LineCut && !m_Line.empty() && m_Line.back() == '\r')
                m_Line.pop_back();
            line.swap(m_Line);
            m_Line.clear();
            m_LineCut = false;
            return true;
        }
        m_Input.clear();
        m_InputStart = 0;
        if (reads == MAX_READS_PER_LINE)
            return false;
        m_Input.resize(RECEIVE_CHUNK);
        const uint32_t received = m_Socket->Recv(&m_Input[0], RECEIVE_CHUNK, xferUPTO, nullptr);
        m_Input.resize(received);
        if (received == 0)
            return false;
    }
    NERRA_TRACE_END("CPOP3ClientSocketTransport::ReceiveLine(" NERRA_PTR ")", NERRA_PTR_ARG(&line))
}

bool CPOP3ClientSocketTransport::HasUntakenInput() const
{
    return m_InputStart < m_Input.size() || !m_Line.empty() || (m_Socket && m_Socket->HasPendingInput());
}

std::string CPOP3ClientSocketTransport::GetPeerName()
{
    if (m_PeerName.empty()) {
        // Looked up once per session, on the worker: the trace line names the server.
        const CInternetAddress peer = m_Socket->GetPeerAddress();
        m_PeerName = peer.LookUpHostName();
        m_PeerDottedText = peer.GetDottedText();
    }
    return m_PeerName;
}

std::string CPOP3ClientSocketTransport::GetPeerDottedText()
{
    GetPeerName();
    return m_PeerDottedText;
}

bool CPOP3ClientSocketTransport::GetPollRequest(int& descriptor, short& events) const
{
    if (!m_Socket) {
        descriptor = m_Connector ? m_Connector->GetPollDescriptor() : -1;
        events = POLLOUT;
        return descriptor >= 0;
    }
    descriptor = m_Socket->GetPollDescriptor();
    events = m_Socket->GetPollEvents(static_cast<short>(POLLIN | (m_Socket->HasPendingOutput() ? POLLOUT : 0)));
    return true;
}

CPOP3ClientTlsTransport::CPOP3ClientTlsTransport(const std::string& host, const std::string& port,
                                                 std::shared_ptr<const CTlsContext> context,
                                                 const std::string& fingerprint, bool implicit)
    : CPOP3ClientSocketTransport(host, port),
      m_Context(std::move(context)),
      m_Fingerprint(fingerprint),
      m_Implicit(implicit)
{
}

CPOP3ClientTlsTransport::~CPOP3ClientTlsTransport() = default;

bool CPOP3ClientTlsTransport::Connect()
{
    NERRA_TRACE_BEGIN
    if (!CPOP3ClientSocketTransport::Connect())
        return false;
    if (!m_Implicit)
        return true;
    if (!m_Socket->IsTlsActive())
        m_Socket->StartTlsClient(*m_Context, m_Host, m_Fingerprint);
    return Handshake();
    NERRA_TRACE_END("CPOP3ClientTlsTransport::Connect()")
}

void CPOP3ClientTlsTransport::StartTls()
{
    NERRA_TRACE_BEGIN
    // A server (or someone on the path) that sends ahead of the handshake could make plain
    // text look like part of the protected dialogue.
    if (HasUntakenInput())
        throw CMessageException("POP3 server at %s:%s sent data ahead of the TLS handshake", m_Host.c_str(),
                                m_Port.c_str());
    m_Socket->StartTlsClient(*m_Context, m_Host, m_Fingerprint);
    NERRA_TRACE_END("CPOP3ClientTlsTransport::StartTls()")
}

bool CPOP3ClientTlsTransport::Handshake()
{
    if (m_Secured)
        return true;
    switch (m_Socket->ContinueTlsHandshake()) {
    case tlsCOMPLETE:
        m_Secured = true;
        return true;
    case tlsPENDING:
        return false;
    case tlsFAILED:
        break;
    }
    throw CMessageException("TLS with POP3 server at %s:%s failed: %s", m_Host.c_str(), m_Port.c_str(),
                            m_Socket->GetTlsFailure().c_str());
}

bool CPOP3ClientTlsTransport::Flush()
{
    if (m_Socket->IsTlsActive() && !Handshake())
        return false;
    return CPOP3ClientSocketTransport::Flush();
}

bool CPOP3ClientTlsTransport::ReceiveLine(std::string& line)
{
    if (m_Socket->IsTlsActive() && !Handshake())
        return false;
    return CPOP3ClientSocketTransport::ReceiveLine(line);
}

}  // namespace Nerra
