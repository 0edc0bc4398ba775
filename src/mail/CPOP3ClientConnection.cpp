#include "mail/CPOP3ClientConnection.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <openssl/evp.h>
#include <poll.h>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CPOP3ClientMessage.h"
#include "mail/CPOP3ClientSecret.h"
#include "mail/CPOP3ClientUidState.h"
#include "mail/MailStore.h"
#include "net/CInternetAddress.h"
#include "net/CTlsContext.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

namespace {

// A message line longer than this is cut when it is stored; 2 more bytes make the line end.
constexpr size_t MAX_DATA_LINE = 65534;
// Lines wait here before they are written, so a message costs a few large writes.
constexpr size_t WRITE_BUFFER_SIZE = 65536;
// A header this long or longer, trace line included, is not handed to the rule set at all.
constexpr size_t MAX_HEADER_SIZE = 65536;
// A CAPA or UIDL listing beyond this is not a real server's: 64 MiB hold UIDL lines for
// about a million messages.
constexpr size_t MAX_LISTING_SIZE = 64 * 1024 * 1024;
// The longest a password command may take before the session is given up.
constexpr std::chrono::seconds SECRET_TIME_LIMIT(30);
// Data taken per step: a large message is stored over many steps, so the other connections
// of the thread keep their turns.
constexpr size_t DATA_PER_STEP = 262144;

const char* const PART_EXTENSION = ".part";

uint64_t ToNumber(const std::string& digits)
{
    return std::strtoull(digits.c_str(), nullptr, 10);
}

// How this host names itself in trace lines. It cannot change while the process runs, so it
// is looked up once.
const std::string& LocalName()
{
    static const std::string name = CInternetAddress::LocalHostName();
    return name;
}

// The local time as trace lines show it, with the zone's standard offset from UTC. No tzset
// here: it would rebuild the zone's data while other connections read it, and localtime_r
// has set the zone up already.
std::string TraceTime()
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char date[64] = "";
    strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S", &local);
    const long west = timezone;  // seconds west of UTC, standard time
    const long offset = west < 0 ? -west : west;
    return Format("%s %s%04d", date, west > 0 ? "-" : "+", static_cast<int>(offset / 3600 * 100 + offset % 3600 / 60));
}

std::string EncodeBase64(const std::string& data)
{
    std::string encoded(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                       reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    encoded.resize(static_cast<size_t>(length));
    return encoded;
}

std::unique_ptr<CPOP3ClientTransport> MakeTransport(const CRemoteAccount& account)
{
    if (account.tls == CRemoteAccount::ETls::None)
        return std::make_unique<CPOP3ClientSocketTransport>(account.host, account.port);
    return std::make_unique<CPOP3ClientTlsTransport>(account.host, account.port,
                                                     CTlsContext::ForClient(account.caFile), account.fingerprint,
                                                     account.tls == CRemoteAccount::ETls::Implicit);
}

// The second pass of a fetched message as a unit of its own: the pool refuses a unit it
// still holds, and it may still hold the message for the last moments of its first pass.
class CSecondPass : public CSequentialWorkUnit {
public:
    explicit CSecondPass(std::shared_ptr<CPOP3ClientMessage> message)
        : CSequentialWorkUnit(message->GetName() + " second pass"), m_Message(std::move(message))
    {
    }
    void Process() override { m_Message->Process(); }

private:
    const std::shared_ptr<CPOP3ClientMessage> m_Message;
};

void PushToFiling(const std::shared_ptr<CPOP3ClientMessage>& message)
{
    if (message->IsFirstPassDone())
        SequentialPool().PushWorkUnit(std::make_shared<CSecondPass>(message), false);
    else
        SequentialPool().PushWorkUnit(message, false);
}

bool HasLineBreakOrNul(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

CPOP3ClientConnection::CPOP3ClientConnection(const CRemoteAccount& account, const std::string& localUser,
                                             const std::shared_ptr<CUserXML>& user)
    : CPOP3ClientConnection(account, localUser, user, MakeTransport(account), PushToFiling)
{
}

CPOP3ClientConnection::CPOP3ClientConnection(const CRemoteAccount& account, const std::string& localUser,
                                             const std::shared_ptr<CUserXML>& user,
                                             std::unique_ptr<CPOP3ClientTransport> transport, CMessageSink sink)
    : CParallelWorkUnit(Format("CPOP3ClientConnection(%s, %s@%s:%s)", localUser.c_str(), account.user.c_str(),
                               account.host.c_str(), account.port.c_str())),
      m_Secured(account.tls == CRemoteAccount::ETls::Implicit),
      m_Account(account),
      m_Host(m_Account.host),
      m_Port(m_Account.port),
      m_RemoteUser(m_Account.user),
      m_Password(account.password),
      m_LocalUser(localUser),
      m_User(user),
      m_Transport(std::move(transport)),
      m_Sink(std::move(sink))
{
    NERRA_TRACE_BEGIN
    // Each goes out on a command line of its own: a line break would end it early and send
    // the rest as commands of their own, and a NUL byte cuts it short.
    if (HasLineBreakOrNul(m_RemoteUser) || HasLineBreakOrNul(m_Password))
        throw CMessageException("The user name or password for %s:%s holds a line break or a NUL byte, the mailbox "
                                "is not fetched",
                                m_Host.c_str(), m_Port.c_str());
    // A group of 0 messages would never close, and the groups are counted by division: the
    // setting accepts no less than 1.
    CConfig& config = CConfig::Instance();
    m_MessagesPerSync = static_cast<int32_t>(config.GetNumber("pop3-messages-per-sync"));
    m_MessagesPerConnection = static_cast<int32_t>(config.GetNumber("pop3-messages-per-session"));
    m_InactivityTimeout = static_cast<int32_t>(config.GetNumber("outgoing-connection-timeout-sec"));
    m_RawDirectory = UserDirectory(localUser) + "/.raw";
    m_ConnectDeadline = std::chrono::steady_clock::now() +
        std::chrono::seconds(config.GetNumber("pop3-connection-attempt-timeout-sec"));
    m_WriteBuffer.reserve(WRITE_BUFFER_SIZE);
    if (!m_Account.passwordCommand.empty())
        m_SecretCommand = std::make_unique<CPOP3ClientSecret>(m_Account.passwordCommand, SECRET_TIME_LIMIT);
    // What the server offers decides how the rest of the session goes.
    Queue(0, "CAPA\r\n", EData::Lines, &CPOP3ClientConnection::CapaCallback, EFlow::Alone, true);
    NERRA_TRACE_END("CPOP3ClientConnection::CPOP3ClientConnection('%s', '%s', '%s', '%s')", account.host.c_str(),
                    account.port.c_str(), account.user.c_str(), localUser.c_str())
}

CPOP3ClientConnection::~CPOP3ClientConnection()
{
    // Downloads of a group that was never committed: the server still has them.
    for (const auto& pending : m_PendingParts)
        CFile::Remove(pending.second);
}

bool CPOP3ClientConnection::Process(bool& idle)
{
    NERRA_TRACE_BEGIN
    if (m_SecretCommand)
        return ObtainSecret(idle);
    if (!m_Connected)
        return Connect(idle);
    if (m_Phase == 1)
        return AwaitReply(idle);
    return SendNextCommand();
    NERRA_TRACE_END("CPOP3ClientConnection::Process(" NERRA_PTR ")", NERRA_PTR_ARG(&idle))
}

bool CPOP3ClientConnection::GetPollRequest(int& descriptor, short& events) const
{
    if (m_SecretCommand) {
        descriptor = m_SecretCommand->GetPollDescriptor();
        events = POLLIN;
        return descriptor >= 0;
    }
    // While the rule set decides, the wait is for the pass the handler looks at first.
    if (m_WaitingForPasses) {
        descriptor = m_PassWaitHandle;
        events = POLLIN;
        return descriptor >= 0;
    }
    return m_Transport->GetPollRequest(descriptor, events);
}

bool CPOP3ClientConnection::ObtainSecret(bool& idle)
{
    if (!m_SecretCommand->Step()) {
        idle = true;
        return true;
    }
    m_Password = m_SecretCommand->GetSecret();
    m_SecretCommand.reset();
    if (HasLineBreakOrNul(m_Password))
        throw CMessageException("The password command for %s:%s printed a NUL byte, the mailbox is not fetched",
                                m_Host.c_str(), m_Port.c_str());
    return true;
}

bool CPOP3ClientConnection::Connect(bool& idle)
{
    if (m_Transport->Connect()) {
        m_Connected = true;
        m_Transport->SetInactivityTimeout(m_InactivityTimeout);
        return true;
    }
    // A server that never answers is given up without a word; the next cycle tries again.
    if (std::chrono::steady_clock::now() >= m_ConnectDeadline)
        return false;
    idle = true;
    return true;
}

bool CPOP3ClientConnection::AwaitReply(bool& idle)
{
    m_WaitingForPasses = false;
    // With commands sent ahead, replies are read even while some output waits: a server
    // busy writing answers takes no more commands until those answers are read.
    if (!m_Transport->Flush() && m_SentAhead.empty()) {
        idle = true;
        return true;
    }
    if (m_ReplyLine.empty())
        return ReceiveStatus(idle);
    if (m_Current.data != EData::None && !m_DataComplete) {
        ReceiveData(idle);
        return true;
    }
    if (m_Current.handler && !CallHandler()) {
        m_WaitingForPasses = true;
        idle = true;
        return true;
    }
    m_Phase = 0;
    return true;
}

bool CPOP3ClientConnection::ReceiveStatus(bool& idle)
{
    std::string line;
    if (!m_Transport->ReceiveLine(line)) {
        idle = true;
        return true;
    }
    const bool sasl = m_Current.text.compare(0, 5, "AUTH ") == 0;
    if (sasl && !m_SaslCancelled && (line == "+" || line.compare(0, 2, "+ ") == 0)) {
        // The server wants more of an exchange that had all it gets: it answers with its
        // reason (XOAUTH2 sends it here) and waits for an empty line, or "*" for PLAIN, before
        // its "-ERR".
        m_SaslCancelled = true;
        m_Transport->Send(m_Account.auth == CRemoteAccount::EAuth::XOAuth2 ? "\r\n" : "*\r\n");
        return true;
    }
    if (m_Current.optional && line.compare(0, 4, "-ERR") == 0) {
        m_ReplyFailed = true;
        m_DataComplete = true;
    } else if (line.compare(0, 3, "+OK") != 0) {
        FailReply(line);
    }
    m_ReplyLine = ValidateRegexedLine(line);
    return true;
}

bool CPOP3ClientConnection::SendNextCommand()
{
    if (!m_SentAhead.empty()) {
        m_Current = std::move(m_SentAhead.front());
        m_SentAhead.pop_front();
    } else {
        if (m_Queue.empty())
            return false;
        m_Current = std::move(m_Queue.front());
        m_Queue.pop_front();
        m_Transport->Send(m_Current.text);
    }
    m_ReplyLine.clear();
    m_ReplyFailed = false;
    m_SaslCancelled = false;
    m_ResponseFile.reset();
    m_DataComplete = false;
    m_ResponseStarted = false;
    m_WriteBuffer.clear();
    m_ResponseText.clear();
    m_ResponseTooLong = false;
    m_Phase = 1;
    SendAhead();
    return true;
}

void CPOP3ClientConnection::SendAhead()
{
    // A server that does not list PIPELINING may read one command per read, or drop what
    // came before it answered: it gets one command at a time.
    if (!m_Pipelining)
        return;
    // Each round trip to the server costs more than the server's work on a command, so the
    // commands that need no earlier answer share the line: a group's LIST and TOP go out
    // together, and each DELE travels with the next RETR. A RETR holds back its DELE until
    // the text is safe on disk, and a NOOP holds back what its handler puts before the rest.
    const auto holds = [](const CCommand& command) { return command.flow != EFlow::Ahead; };
    while (!m_Queue.empty() && m_Queue.front().flow != EFlow::Alone && !holds(m_Current) &&
           (m_SentAhead.empty() || !holds(m_SentAhead.back()))) {
        m_Transport->Send(m_Queue.front().text);
        m_SentAhead.push_back(std::move(m_Queue.front()));
        m_Queue.pop_front();
    }
}

bool CPOP3ClientConnection::CallHandler()
{
    std::istringstream tokens(m_ReplyLine.substr(3));
    return (this->*m_Current.handler)(m_Current.number, tokens, m_ResponseFile);
}

void CPOP3ClientConnection::ReceiveData(bool& idle)
{
    size_t taken = 0;
    std::string line;
    while (taken < DATA_PER_STEP) {
        if (!m_Transport->ReceiveLine(line)) {
            idle = true;
            return;
        }
        if (!m_ResponseStarted)
            StartResponse();
        // Dot-stuffing: a line that begins with a dot came with one more, and a lone dot ends
        // the data.
        if (!line.empty() && line[0] == '.') {
            line.erase(0, 1);
            if (line.empty()) {
                if (m_ResponseFile) {
                    WriteOutBuffer();
                    m_ResponseFile->Rewind();
                }
                m_DataComplete = true;
                return;
            }
        }
        if (line.size() > MAX_DATA_LINE)
            line.resize(MAX_DATA_LINE);
        line += "\r\n";
        WriteBuffered(line);
        taken += line.size();
    }
}

void CPOP3ClientConnection::StartResponse()
{
    m_ResponseStarted = true;
    if (m_Current.data == EData::Lines)
        return;
    if (m_Current.data == EData::Text) {
        // A header never touches the disk: a file made and removed for every header costs
        // more than the rest of its handling.
        m_ResponseText = TraceLine();
        return;
    }
    // The directory goes into a printf format: its own percent signs must stay text. The
    // download takes its .msg name only once it is whole: start-up spools every .msg of .raw,
    // and discards a .part a killed process left.
    const std::string pattern = Replace(m_RawDirectory, "%", "%%") + "/" + LocalTimeStamp() + "%03d" + PART_EXTENSION;
    // Until the message is handed on, the file goes away with the connection: a download cut
    // short leaves nothing behind.
    m_ResponseFile = std::make_shared<CFile>(pattern, CFile::Reading | CFile::Writing,
                                             CFile::MustCreate, CFile::UniqueName | CFile::RemoveOnClose);
    const std::string trace = TraceLine();
    m_ResponseFile->Write(trace.data(), static_cast<uint32_t>(trace.size()));
}

std::string CPOP3ClientConnection::TraceLine()
{
    return Format("Received: from %s ([%s]) by %s; %s\r\n", m_Transport->GetPeerName().c_str(),
                  m_Transport->GetPeerDottedText().c_str(), LocalName().c_str(), TraceTime().c_str());
}

void CPOP3ClientConnection::WriteBuffered(const std::string& line)
{
    if (m_Current.data == EData::Lines) {
        if (m_ResponseText.size() + line.size() > MAX_LISTING_SIZE)
            throw CMessageException("POP3 server at %s:%s sent more than %zu bytes in reply to '%s'", m_Host.c_str(),
                                    m_Port.c_str(), MAX_LISTING_SIZE, CommandForLog().c_str());
        m_ResponseText += line;
        return;
    }
    if (m_Current.data == EData::Text) {
        if (m_ResponseTooLong)
            return;
        m_ResponseText += line;
        if (m_ResponseText.size() >= MAX_HEADER_SIZE) {
            m_ResponseTooLong = true;
            std::string().swap(m_ResponseText);
        }
        return;
    }
    if (m_WriteBuffer.size() + line.size() > WRITE_BUFFER_SIZE)
        WriteOutBuffer();
    m_WriteBuffer += line;
}

void CPOP3ClientConnection::WriteOutBuffer()
{
    if (m_WriteBuffer.empty())
        return;
    m_ResponseFile->Write(m_WriteBuffer.data(), static_cast<uint32_t>(m_WriteBuffer.size()));
    m_WriteBuffer.clear();
}

std::string CPOP3ClientConnection::CommandForLog() const
{
    if (m_Current.text.compare(0, 5, "PASS ") == 0)
        return "PASS ********";
    if (m_Current.text.compare(0, 5, "AUTH ") == 0)
        return m_Current.text.substr(0, m_Current.text.find(' ', 5)) + " ********";
    std::string text = m_Current.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string CPOP3ClientConnection::MaskPassword(const std::string& reply) const
{
    return Replace(Replace(reply, m_Password, "********"), m_AuthText, "********");
}

void CPOP3ClientConnection::FailReply(const std::string& reply) const
{
    throw CMessageException(
        "POP3 server at %s:%s for user %s when asked '%s' replied with '%s', terminating connection abnormally",
        m_Host.c_str(), m_Port.c_str(), m_RemoteUser.c_str(), CommandForLog().c_str(),
        MaskPassword(ValidateRegexedLine(reply)).c_str());
}

CPOP3ClientConnection::CCommand CPOP3ClientConnection::Command(uint32_t number, const std::string& text,
                                                                EData data, CHandler handler, EFlow flow)
{
    CCommand command;
    command.number = number;
    command.text = text;
    command.data = data;
    command.handler = handler;
    command.flow = flow;
    return command;
}

void CPOP3ClientConnection::Queue(uint32_t number, const std::string& text, EData data, CHandler handler,
                                  EFlow flow, bool optional)
{
    m_Queue.push_back(Command(number, text, data, handler, flow));
    m_Queue.back().optional = optional;
}

CPOP3ClientMessage& CPOP3ClientConnection::Message(uint32_t number) const
{
    const auto found = m_Messages.find(number);
    if (found == m_Messages.end() || !found->second)
        throw CMessageException("No message %u in this session", number);
    return *found->second;
}

bool CPOP3ClientConnection::CapaCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    // A server without CAPA ("-ERR") offers nothing beyond the basic commands.
    m_Capabilities.clear();
    m_CapaAnswered = !m_ReplyFailed;
    std::istringstream lines(m_ResponseText);
    for (std::string line; std::getline(lines, line);) {
        std::string name;
        std::istringstream(line) >> name;
        if (!name.empty())
            m_Capabilities.insert(ToUpper(name));
    }
    m_Pipelining = m_Capabilities.count("PIPELINING") > 0;
    if (m_Account.tls == CRemoteAccount::ETls::StartTls && !m_Secured) {
        // Never a fallback to plain text: the password would go out readable.
        if (!m_Capabilities.count("STLS"))
            throw CMessageException("POP3 server at %s:%s for user %s does not offer STLS, the mailbox is not fetched",
                                    m_Host.c_str(), m_Port.c_str(), m_RemoteUser.c_str());
        Queue(0, "STLS\r\n", EData::None, &CPOP3ClientConnection::StlsCallback, EFlow::Alone);
        return true;
    }
    QueueLogin();
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::CapaCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

bool CPOP3ClientConnection::StlsCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    m_Transport->StartTls();
    m_Secured = true;
    // What the server said in plain text may have been forged on the way: ask again.
    m_Pipelining = false;
    Queue(0, "CAPA\r\n", EData::Lines, &CPOP3ClientConnection::CapaCallback, EFlow::Alone, true);
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::StlsCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

void CPOP3ClientConnection::QueueLogin()
{
    // Only allowed before login; it makes a server hand over 8-bit headers as they are.
    if (m_Capabilities.count("UTF8"))
        Queue(0, "UTF8\r\n", EData::None, nullptr, EFlow::Alone, true);
    switch (m_Account.auth) {
    case CRemoteAccount::EAuth::User:
        Queue(0, "USER " + m_RemoteUser + "\r\n", EData::None, nullptr, EFlow::Alone);
        Queue(0, "PASS " + m_Password + "\r\n", EData::None, nullptr, EFlow::Alone);
        break;
    case CRemoteAccount::EAuth::Plain:
        m_AuthText = EncodeBase64(std::string(1, '\0') + m_RemoteUser + std::string(1, '\0') + m_Password);
        Queue(0, "AUTH PLAIN " + m_AuthText + "\r\n", EData::None, nullptr, EFlow::Alone);
        break;
    case CRemoteAccount::EAuth::XOAuth2:
        m_AuthText = EncodeBase64("user=" + m_RemoteUser + "\x01" "auth=Bearer " + m_Password + "\x01\x01");
        Queue(0, "AUTH XOAUTH2 " + m_AuthText + "\r\n", EData::None, nullptr, EFlow::Alone);
        break;
    }
    Queue(0, "STAT\r\n", EData::None, &CPOP3ClientConnection::StatCallback, EFlow::Alone);
}

bool CPOP3ClientConnection::StatCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    std::string count;
    tokens >> count;
    if (!MatchesWhole(count, Digits10Pattern))
        throw CMessageException(
            "POP3 server at %s:%s for user %s when asked '%s' replied with '+OK %s ...', terminating connection "
            "abnormally",
            m_Host.c_str(), m_Port.c_str(), m_RemoteUser.c_str(), CommandForLog().c_str(),
            MaskPassword(count).c_str());
    m_StatCount = ToNumber(count);
    // A server that lists ids tells which messages an earlier session stored already; one
    // that did not answer CAPA may still know UIDL.
    if (m_StatCount > 0 && (m_Capabilities.count("UIDL") || !m_CapaAnswered))
        Queue(0, "UIDL\r\n", EData::Lines, &CPOP3ClientConnection::UidlCallback, EFlow::Alone, true);
    else
        PlanMessages();
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::StatCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

bool CPOP3ClientConnection::UidlCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    if (!m_ReplyFailed) {
        std::set<std::string> listed;
        std::istringstream lines(m_ResponseText);
        for (std::string line; std::getline(lines, line);) {
            std::string listedNumber, uid;
            std::istringstream(line) >> listedNumber >> uid;
            const uint64_t n = ToNumber(listedNumber);
            if (!MatchesWhole(listedNumber, Digits10Pattern) || uid.empty() || n == 0 || n > m_StatCount)
                throw CMessageException("POP3 server at %s:%s for user %s when asked 'UIDL' replied with '%s', "
                                        "terminating connection abnormally",
                                        m_Host.c_str(), m_Port.c_str(), m_RemoteUser.c_str(),
                                        MaskPassword(ValidateRegexedLine(line.substr(0, line.find('\r')))).c_str());
            m_Uids[static_cast<uint32_t>(n)] = uid;
            listed.insert(uid);
        }
        m_UidState = std::make_unique<CPOP3ClientUidState>(UserDirectory(m_LocalUser), m_Host, m_Port, m_RemoteUser);
        m_UidState->Load();
        m_UidState->Retain(listed);
    }
    PlanMessages();
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::UidlCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

void CPOP3ClientConnection::PlanMessages()
{
    // Messages an earlier session stored get DELE alone: no TOP, no RETR, no second filing.
    std::vector<uint32_t> fetched;
    const uint64_t limit = static_cast<uint64_t>(m_MessagesPerConnection);
    if (m_UidState) {
        for (const auto& [n, uid] : m_Uids) {
            if (m_UidState->Contains(uid))
                Queue(n, Format("DELE %u\r\n", n), EData::None, nullptr, EFlow::Ahead);
            else if (fetched.size() < limit)
                fetched.push_back(n);
        }
    } else {
        for (uint64_t n = 1; n <= std::min(m_StatCount, limit); ++n)
            fetched.push_back(static_cast<uint32_t>(n));
    }
    const size_t perSync = static_cast<size_t>(m_MessagesPerSync);
    for (size_t start = 0; start < fetched.size(); start += perSync) {
        const uint32_t group = static_cast<uint32_t>(m_Groups.size());
        m_Groups.emplace_back(fetched.begin() + static_cast<std::ptrdiff_t>(start),
                              fetched.begin() + static_cast<std::ptrdiff_t>(std::min(fetched.size(), start + perSync)));
        // The units are made as their LIST replies come: a large session holds only those begun.
        for (const uint32_t n : m_Groups.back()) {
            Queue(n, Format("LIST %u\r\n", n), EData::None, &CPOP3ClientConnection::ListCallback, EFlow::Ahead);
            Queue(n, Format("TOP %u 0\r\n", n), EData::Text, &CPOP3ClientConnection::TopCallback, EFlow::Ahead);
        }
        Queue(group, "NOOP\r\n", EData::None, &CPOP3ClientConnection::NoopCallback, EFlow::AheadHold);
    }
    // Deletions take effect when the server sees QUIT: it waits for the last DELE's answer.
    Queue(0, "QUIT\r\n", EData::None, &CPOP3ClientConnection::QuitCallback, EFlow::Alone);
}

void CPOP3ClientConnection::RememberStored(const std::vector<uint32_t>& numbers)
{
    if (!m_UidState || numbers.empty())
        return;
    for (const uint32_t n : numbers)
        m_UidState->Add(m_Uids.at(n));
    // On disk before the DELE goes out: after a crash the next session deletes the
    // messages instead of filing them again.
    m_UidState->Save();
}

bool CPOP3ClientConnection::ListCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    std::string listed, size;
    tokens >> listed >> size;
    if (!MatchesWhole(listed, Digits10Pattern) || !MatchesWhole(size, Digits10Pattern) || ToNumber(listed) != number)
        throw CMessageException(
            "POP3 server at %s:%s for user %s when asked '%s' replied with '+OK %s %s ...', terminating connection "
            "abnormally",
            m_Host.c_str(), m_Port.c_str(), m_RemoteUser.c_str(), CommandForLog().c_str(),
            MaskPassword(listed).c_str(), MaskPassword(size).c_str());
    auto message = std::make_shared<CPOP3ClientMessage>(m_LocalUser, m_User);
    message->SetMessageSize(static_cast<uint32_t>(std::min<uint64_t>(ToNumber(size), UINT32_MAX)));
    m_Messages[number] = message;
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::ListCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

bool CPOP3ClientConnection::TopCallback(uint32_t number, std::istringstream& tokens,
                                        const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    // The header came as text, not in `file`. It begins with the trace line, as the stored
    // message will; one too long for the rules is empty.
    CPOP3ClientMessage& message = Message(number);
    message.SetMessageHeader(m_ResponseText);
    message.CreateFirstPassEvent();
    m_Sink(m_Messages[number]);
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::TopCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

bool CPOP3ClientConnection::NoopCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    const std::vector<uint32_t>& group = m_Groups.at(number);
    for (const uint32_t n : group) {
        CPOP3ClientMessage& message = Message(n);
        if (!message.IsFirstPassDone()) {
            m_PassWaitHandle = message.GetFirstPassPollHandle();
            return false;
        }
    }
    // The group's texts are downloaded first and made the service's together, with one
    // flush of .raw and of the state for all of them; then its DELEs go out. Each is pushed
    // to the front from the last down, so they go out in ascending order before the next
    // group's LIST and TOP.
    std::vector<uint32_t> retrieved, deleted;
    for (const uint32_t n : group)
        (Message(n).GetDecision().IsDelete() ? deleted : retrieved).push_back(n);
    for (auto n = group.rbegin(); n != group.rend(); ++n)
        m_Queue.push_front(
            Command(*n, Format("DELE %u\r\n", *n), EData::None, &CPOP3ClientConnection::DeleCallback, EFlow::Ahead));
    // The last RETR holds the DELEs back until the group is safe on disk.
    for (auto n = retrieved.rbegin(); n != retrieved.rend(); ++n)
        m_Queue.push_front(Command(*n, Format("RETR %u\r\n", *n), EData::File, &CPOP3ClientConnection::RetrCallback,
                                   n == retrieved.rbegin() ? EFlow::AheadHold : EFlow::Ahead));
    m_CommitAfter = retrieved.empty() ? 0 : retrieved.back();
    RememberStored(deleted);
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::NoopCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

bool CPOP3ClientConnection::RetrCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    // `file` is the connection's own holder, which is emptied below.
    const CFile* traced = file.get();
    NERRA_TRACE_BEGIN
    if (!file)
        throw CMessageException("No message text received");
    // The server forgets its copy after DELE: the whole text must be on disk before then, or
    // a crash could lose the message. Until the group is committed it keeps its .part name,
    // which start-up discards, and the connection removes it should the session fail.
    file->Flush();
    m_PendingParts.emplace_back(number, file->GetPath());
    file->SetRemoveOnClose(false);
    m_ResponseFile.reset();
    if (number == m_CommitAfter)
        CommitDownloads();
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::RetrCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(traced))
}

void CPOP3ClientConnection::CommitDownloads()
{
    NERRA_TRACE_BEGIN
    // The .msg names and the ids go to disk together before any DELE: start-up spools a .msg
    // left in .raw, and the next session only deletes a message whose id is kept.
    std::vector<std::string> committed;
    std::vector<uint32_t> numbers;
    try {
        for (const auto& [number, part] : m_PendingParts) {
            const std::string path = part.substr(0, part.size() - strlen(PART_EXTENSION)) + ".msg";
            if (!CFile::Move(part, path))
                throw CMessageException("Unable to move file %s to %s", part.c_str(), path.c_str());
            committed.push_back(path);
            numbers.push_back(number);
            Message(number).AttachMessageFile(path);
        }
        if (!CFile::SyncDirectory(m_RawDirectory))
            throw CMessageException("Unable to flush directory %s to disk", m_RawDirectory.c_str());
        RememberStored(numbers);
    } catch (...) {
        // None was handed on and none is deleted on the server: the next session fetches
        // them again.
        for (const std::string& path : committed)
            CFile::Remove(path);
        m_PendingParts.erase(m_PendingParts.begin(),
                             m_PendingParts.begin() + static_cast<std::ptrdiff_t>(committed.size()));
        throw;
    }
    m_PendingParts.clear();
    for (const uint32_t number : numbers)
        m_Sink(m_Messages[number]);
    NERRA_TRACE_END("CPOP3ClientConnection::CommitDownloads()")
}

bool CPOP3ClientConnection::DeleCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    Message(number).ReleaseFirstPassEvent();
    // Processing holds the unit from here on; the connection needs it no longer.
    m_Messages.erase(number);
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::DeleCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

bool CPOP3ClientConnection::QuitCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    // The server has committed the deletions: nothing is pending any more.
    if (m_UidState)
        m_UidState->Clear();
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::QuitCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

}  // namespace Nerra
