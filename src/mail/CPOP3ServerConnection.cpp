#include "mail/CPOP3ServerConnection.h"

#include <atomic>
#include <poll.h>

#include "core/CConfig.h"
#include "core/CLog.h"
#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

std::atomic<size_t> g_LiveConnections{0};

bool IsLoopback(const std::string& dottedAddress)
{
    return dottedAddress.compare(0, 4, "127.") == 0;
}

CPOP3SessionOptions SessionOptions(const CPOP3ServerSettings& settings, const std::string& peer)
{
    CPOP3SessionOptions options;
    options.implementation = CConfig::Instance().GetValue("product-name");
    options.tlsOffered = settings.tls != nullptr;
    options.tlsActive = settings.implicitTls;
    options.tlsRequired = settings.requireTls && !IsLoopback(peer);
    return options;
}

}  // namespace

CPOP3ServerConnection::CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> socket,
                                             const CPOP3ServerSettings& settings)
    : CParallelWorkUnit(Format("CPOP3ServerConnection(%s, " NERRA_PTR ")",
                               socket->GetPeerAddress().GetDottedText().c_str(), NERRA_PTR_ARG(this))),
      m_Socket(std::move(socket)),
      m_Tls(settings.tls),
      m_Peer(m_Socket->GetPeerAddress().GetDottedText()),
      m_Session(SessionOptions(settings, m_Peer))
{
    NERRA_TRACE_BEGIN
    // With implicit TLS the greeting is the first thing the protected stream carries.
    if (settings.implicitTls) {
        m_Socket->StartTlsServer(*m_Tls);
        m_Handshaking = true;
    }
    m_Socket->SendLine(Greeting());
    NERRA_TRACE_END("CPOP3ServerConnection::CPOP3ServerConnection('%s')", m_Peer.c_str())
    // Counted once nothing can fail any more: only then does the destructor run.
    ++g_LiveConnections;
}

CPOP3ServerConnection::~CPOP3ServerConnection()
{
    const std::string& user = m_Session.GetCredentials().user;
    if (!user.empty())
        CLog::Instance().Info("CPOP3ServerConnection::~CPOP3ServerConnection: user %s disconnected", user.c_str());
    --g_LiveConnections;
}

size_t CPOP3ServerConnection::GetLiveCount() { return g_LiveConnections; }

std::string CPOP3ServerConnection::Greeting()
{
    CConfig& config = CConfig::Instance();
    return "+OK " + config.GetValue("product-name") + " " + config.GetValue("version") + "\r\n";
}

bool CPOP3ServerConnection::Process(bool& idle)
{
    NERRA_TRACE_BEGIN
    if (m_Handshaking)
        return StepHandshake(idle);
    if (m_Login) {
        if (!m_Login->IsDone()) {
            idle = true;
            return true;
        }
        std::shared_ptr<CPOP3LoginJob> login = std::move(m_Login);
        Answer(m_Session.FinishLogin(login->TakeOutcome()));
        return true;
    }
    if (m_ReplyDelayed) {
        // A refused login is answered late, so guessing passwords is slow; the session
        // waits idle meanwhile and the thread serves the others.
        if (GetElapsedMicroseconds() < m_ReplyNotBefore) {
            idle = true;
            return true;
        }
        m_ReplyDelayed = false;
        Queue(m_DelayedReply);
        m_DelayedReply.clear();
    }
    // The next piece of a long message only once the previous one has gone out, so a long
    // message never piles up in memory.
    if (m_Message) {
        if (m_Socket->Send(nullptr, 0) > 0)
            idle = true;
        else
            SendMessageSlice();
        return true;
    }
    if (m_Closing) {
        idle = true;
        return m_Socket->Send(nullptr, 0) > 0;
    }
    std::string line;
    if (m_Socket->Recv(nullptr, 0, xferLINE, &line) == 0) {
        // No whole request is waiting: what the requests so far produced leaves now, together.
        m_Socket->Send(nullptr, 0);
        CheckRequestDeadline();
        idle = true;
        return true;
    }
    m_RequestStarted = false;
    Answer(m_Session.Request(ValidateRegexedLine(line)));
    return true;
    NERRA_TRACE_END("CPOP3ServerConnection::Process(" NERRA_PTR ")", NERRA_PTR_ARG(this))
}

// A client that fails the handshake is to be expected: its connection ends with a warning,
// the service goes on.
bool CPOP3ServerConnection::StepHandshake(bool& idle)
{
    switch (m_Socket->ContinueTlsHandshake()) {
    case tlsPENDING: idle = true; return true;
    case tlsCOMPLETE: m_Handshaking = false; return true;
    default:
        CLog::Instance().Warning("CPOP3ServerConnection::Process(): TLS handshake with %s failed: %s", m_Peer.c_str(),
                                 m_Socket->GetTlsFailure().c_str());
        return false;
    }
}

void CPOP3ServerConnection::Answer(CPOP3Reply reply)
{
    switch (reply.action) {
    case CPOP3Reply::actCHECK_LOGIN:
        m_Login = std::make_shared<CPOP3LoginJob>(m_Session.GetCredentials(), m_Peer);
        PushPOP3Login(m_Login);
        return;
    case CPOP3Reply::actSEND_MESSAGE:
        // The reply leaves together with the start of its message: written apart, the small
        // reply would hold the text back until the client had acknowledged it.
        m_Message = std::move(reply.message);
        m_Piece = std::move(reply.text);
        if (!m_Message->Encode(m_Piece))
            m_Message.reset();
        Queue(m_Piece);
        return;
    case CPOP3Reply::actSTART_TLS:
        Queue(reply.text);
        StartTls();
        return;
    case CPOP3Reply::actCLOSE:
        Queue(reply.text);
        m_Closing = true;
        return;
    default:
        if (reply.delayed) {
            m_ReplyDelayed = true;
            m_ReplyNotBefore = GetElapsedMicroseconds() + FAILED_LOGIN_DELAY_US;
            m_DelayedReply = std::move(reply.text);
            // What is queued goes now: the pause must not hold earlier replies back.
            m_Socket->Send(nullptr, 0);
            return;
        }
        Queue(reply.text);
    }
}

void CPOP3ServerConnection::Queue(const std::string& text)
{
    if (!text.empty())
        m_Socket->Send(text.data(), static_cast<uint32_t>(text.size()));
}

void CPOP3ServerConnection::SendMessageSlice()
{
    m_Piece.clear();
    if (!m_Message->Encode(m_Piece))
        m_Message.reset();
    Queue(m_Piece);
    m_Socket->Send(nullptr, 0);
}

// Requests sent ahead of the handshake would be plain text slipped into the protected
// session: such a client is let go.
void CPOP3ServerConnection::StartTls()
{
    try {
        m_Socket->StartTlsServer(*m_Tls);
        m_Handshaking = true;
    } catch (...) {
        CLog::Instance().Warning("CPOP3ServerConnection::Process(): STLS from %s refused: %s", m_Peer.c_str(),
                                 CurrentFailureText().c_str());
        m_Closing = true;
    }
}

// Each byte a client sends counts as activity, so one that trickles a byte now and then
// would hold the session, and its mailbox, for ever: a request line must be complete within
// the inactivity time-out of its first byte. The clock starts at the first step that finds
// part of a line waiting.
void CPOP3ServerConnection::CheckRequestDeadline()
{
    if (!m_Socket->HasPendingInput()) {
        m_RequestStarted = false;
        return;
    }
    const uint64_t now = GetElapsedMicroseconds();
    if (!m_RequestStarted) {
        m_RequestStarted = true;
        m_RequestStartTime = now;
        return;
    }
    const int32_t timeout = m_Socket->GetInactivityTimeout();
    if (now - m_RequestStartTime > static_cast<uint64_t>(timeout) * 1000000)
        throw CMessageException("Request line not completed within %d seconds", static_cast<int>(timeout));
}

bool CPOP3ServerConnection::GetPollRequest(int& descriptor, short& events) const
{
    // A delayed reply waits for time, not for the socket: input the client sends meanwhile
    // must not wake the thread again and again. A login being checked waits for its job.
    if (m_ReplyDelayed)
        return false;
    if (m_Login) {
        descriptor = m_Login->GetPollHandle();
        events = POLLIN;
        return true;
    }
    descriptor = m_Socket->GetPollDescriptor();
    events = m_Socket->GetPollEvents(m_Socket->HasPendingOutput() ? POLLOUT : POLLIN);
    return events != 0;
}

}  // namespace Nerra
