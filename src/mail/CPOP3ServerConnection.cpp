#include "mail/CPOP3ServerConnection.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <poll.h>

#include <boost/regex.hpp>

#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CUserXML.h"
#include "mail/LockPools.h"
#include "mail/MailStore.h"

namespace Nerra {

namespace {

const char* const ARGUMENT_UNEXPECTED = "-ERR Argument is unexpected\r\n";
const char* const NO_SUCH_MESSAGE = "-ERR No such message\r\n";
const char* const AUTHENTICATION_FAILED = "-ERR Authentication failed\r\n";

std::atomic<size_t> g_LiveConnections{0};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Messages are numbered oldest first. Files written within the same second keep the order
// of their names, so the numbers of one listing are the same on every login.
bool OlderFirst(const CMailboxMessage& a, const CMailboxMessage& b)
{
    if (a.modifiedTime != b.modifiedTime)
        return a.modifiedTime < b.modifiedTime;
    return a.name < b.name;
}

}  // namespace

// A request line read as white-space separated tokens.
class CPOP3ServerConnection::CRequestStream {
public:
    explicit CRequestStream(const std::string& line) : m_Line(line) {}

    bool AtEnd() const { return m_Position >= m_Line.size(); }

    void SkipSpace()
    {
        while (!AtEnd() && IsSpace(m_Line[m_Position]))
            ++m_Position;
    }

    // Takes the token at the position and the white space after it.
    std::string NextToken()
    {
        const size_t start = m_Position;
        while (!AtEnd() && !IsSpace(m_Line[m_Position]))
            ++m_Position;
        std::string token = m_Line.substr(start, m_Position - start);
        SkipSpace();
        return token;
    }

private:
    const std::string& m_Line;
    size_t m_Position = 0;
};

CPOP3ServerConnection::CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> socket)
    : CPOP3ServerConnection(socket, socket ? socket->GetPeerAddress().GetDottedText() : std::string())
{
}

CPOP3ServerConnection::CPOP3ServerConnection(const std::string& peer) : CPOP3ServerConnection(nullptr, peer) {}

CPOP3ServerConnection::CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> socket, const std::string& peer)
    : CParallelWorkUnit(Format("CPOP3ServerConnection(%s, " NERRA_PTR ")", peer.c_str(), NERRA_PTR_ARG(this))),
      m_Socket(std::move(socket)),
      m_Peer(peer)
{
    NERRA_TRACE_BEGIN
    if (m_Socket)
        m_Socket->SendLine(Greeting());
    NERRA_TRACE_END("CPOP3ServerConnection::CPOP3ServerConnection('%s')", peer.c_str())
    // Counted once nothing can fail any more: only then does the destructor run.
    ++g_LiveConnections;
}

CPOP3ServerConnection::~CPOP3ServerConnection()
{
    NERRA_TRACE_BEGIN
    if (!m_UserName.empty())
        CLog::Instance().Info("CPOP3ServerConnection::~CPOP3ServerConnection: user %s disconnected", m_UserName.c_str());
    // Deletions count only for a session the client ended with QUIT; a dropped connection
    // leaves the mailbox as it was.
    if (m_State == stateCLOSING && m_LockFile) {
        for (const CMailboxMessage& message : m_Messages) {
            if (message.deleted && !CFile::Remove(message.path))
                CLog::Instance().Warning(
                    "CPOP3ServerConnection::~CPOP3ServerConnection(): closing mailbox, unable to delete file '%s'",
                    message.path.c_str());
        }
    }
    m_ResponseFile.reset();
    // Closing the lock file removes it, which frees the mailbox for the next session.
    m_LockFile.reset();
    NERRA_TRACE_END_CONTINUE("CPOP3ServerConnection::~CPOP3ServerConnection()")
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
    if (!m_Socket)
        throw CMessageException("No connection to serve");
    if (m_Phase == 1) {
        // A refused login is answered late, so guessing passwords is slow; the session
        // waits idle meanwhile and the thread serves the others.
        if (m_ReplyDelayed && GetElapsedMicroseconds() < m_ReplyNotBefore) {
            idle = true;
            return true;
        }
        m_ReplyDelayed = false;
        return ProcessSending(idle);
    }
    std::string line;
    if (m_Socket->Recv(nullptr, 0, xferLINE, &line) == 0) {
        CheckRequestDeadline();
        idle = true;
        return true;
    }
    m_RequestStarted = false;
    m_Reply = ProcessClientRequest(ValidateRegexedLine(line));
    m_ReplySent = 0;
    m_Phase = 1;
    return true;
    NERRA_TRACE_END("CPOP3ServerConnection::Process(" NERRA_PTR ")", NERRA_PTR_ARG(this))
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

// A request is answered completely, a whole message included, before the next request
// line is read. Each step hands the socket one piece, and only once the previous piece has
// gone out, so a long message never piles up in memory.
bool CPOP3ServerConnection::ProcessSending(bool& idle)
{
    if (m_Socket->Send(nullptr, 0) > 0) {
        idle = true;
        return true;
    }
    // A reply goes out together with the first slice of its message: written apart, the
    // small reply would hold the slice back until the client had acknowledged it.
    m_Piece.clear();
    if (m_ReplySent < m_Reply.size()) {
        const size_t length = std::min<size_t>(SLICE, m_Reply.size() - m_ReplySent);
        m_Piece.assign(m_Reply, m_ReplySent, length);
        m_ReplySent += length;
    }
    if (m_ReplySent == m_Reply.size() && m_ResponseFile && m_Piece.size() < SLICE)
        ProcessServerResponseFile(m_Piece);
    if (!m_Piece.empty()) {
        m_Socket->Send(m_Piece.data(), static_cast<uint32_t>(m_Piece.size()));
        m_Socket->Send(nullptr, 0);
        return true;
    }
    m_Reply.clear();
    m_ReplySent = 0;
    if (m_State == stateCLOSING)
        return false;
    m_Phase = 0;
    return true;
}

bool CPOP3ServerConnection::GetPollRequest(int& descriptor, short& events) const
{
    // A delayed reply waits for time, not for the socket: input the client sends meanwhile
    // must not wake the thread again and again.
    if (!m_Socket || m_ReplyDelayed)
        return false;
    descriptor = m_Socket->GetPollDescriptor();
    events = m_Socket->HasPendingOutput() ? POLLOUT : POLLIN;
    return true;
}

namespace {
// A request line as the log may show it: what follows PASS or AUTH never reaches the log,
// whatever white space a client puts around the command.
std::string LoggableRequest(const std::string& line)
{
    size_t start = 0;
    while (start < line.size() && IsSpace(line[start]))
        ++start;
    const std::string command = ToUpper(line.substr(start, 4));
    return command == "PASS" || command == "AUTH" ? command + " ****" : line;
}
}  // namespace

std::string CPOP3ServerConnection::ProcessClientRequest(const std::string& line)
{
    NERRA_TRACE_BEGIN
    CRequestStream stream(line);
    stream.SkipSpace();
    const std::string command = stream.AtEnd() ? std::string() : ToUpper(stream.NextToken());
    if (command == "QUIT") {
        m_State = stateCLOSING;
        return "+OK Closing connection\r\n";
    }
    switch (m_State) {
    case stateAUTHORIZATION: return ProcessClientRequestAuthState(command, stream);
    case stateTRANSACTION: return ProcessClientRequestTranState(command, stream);
    default: throw CMessageException("Unexpected connection state");
    }
    NERRA_TRACE_END("CPOP3ServerConnection::ProcessClientRequest('%s')", LoggableRequest(line).c_str())
}

std::string CPOP3ServerConnection::ProcessClientRequestAuthState(const std::string& command, CRequestStream& stream)
{
    NERRA_TRACE_BEGIN
    if (command == "USER")
        return ProcessUser(stream);
    if (command == "PASS")
        return ProcessPass(stream);
    m_UserName.clear();
    m_Password.clear();
    return "-ERR Will only accept USER and PASS in authorization state\r\n";
    NERRA_TRACE_END("CPOP3ServerConnection::ProcessClientRequestAuthState('%s', " NERRA_PTR ")", command.c_str(),
                    NERRA_PTR_ARG(&stream))
}

std::string CPOP3ServerConnection::ProcessUser(CRequestStream& stream)
{
    if (!m_UserName.empty()) {
        m_UserName.clear();
        return "-ERR USER was unexpected\r\n";
    }
    std::string argument, error;
    if (!ReadArgumentFromStream(stream, argument, error))
        return error;
    boost::smatch groups;
    if (!boost::regex_match(argument, groups, UserMailboxPattern))
        return "-ERR Malformed username\r\n";
    m_UserName = groups[1].str();
    m_MailBox = groups[2].matched ? groups[2].str() : std::string("mail");
    return Format("+OK Username \"%s\" accepted, accessing \"%s\" mailbox\r\n", m_UserName.c_str(), m_MailBox.c_str());
}

std::string CPOP3ServerConnection::ProcessPass(CRequestStream& stream)
{
    if (m_UserName.empty())
        return "-ERR PASS was unexpected\r\n";
    std::string argument, error;
    if (!ReadArgumentFromStream(stream, argument, error)) {
        m_UserName.clear();
        return error;
    }
    if (!MatchesWhole(argument, PrintablePattern)) {
        m_UserName.clear();
        return "-ERR Malformed password\r\n";
    }
    m_Password = argument;
    std::string reply;
    if (AuthenticateLockMailBox(reply)) {
        m_State = stateTRANSACTION;
    } else {
        m_UserName.clear();
        m_Password.clear();
    }
    if (reply == AUTHENTICATION_FAILED) {
        m_ReplyDelayed = true;
        m_ReplyNotBefore = GetElapsedMicroseconds() + FAILED_LOGIN_DELAY_US;
    }
    return reply;
}

std::string CPOP3ServerConnection::ProcessClientRequestTranState(const std::string& command, CRequestStream& stream)
{
    NERRA_TRACE_BEGIN
    if (command == "TOP")
        return ProcessTop(stream);
    if (command == "RETR")
        return ProcessRetr(stream);
    if (command == "DELE")
        return ProcessDele(stream);
    if (command == "LIST")
        return ProcessList(stream);
    const bool bare = stream.AtEnd();
    if (command == "STAT")
        return bare ? Format("+OK %u %" PRIu64 "\r\n", m_Count, m_Total) : ARGUMENT_UNEXPECTED;
    if (command == "LAST")
        return bare ? Format("+OK %u\r\n", m_Last) : ARGUMENT_UNEXPECTED;
    if (command == "RSET")
        return bare ? ProcessRset() : ARGUMENT_UNEXPECTED;
    if (command == "NOOP")
        return bare ? "+OK\r\n" : ARGUMENT_UNEXPECTED;
    return "-ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP in transaction state\r\n";
    NERRA_TRACE_END("CPOP3ServerConnection::ProcessClientRequestTranState('%s', " NERRA_PTR ")", command.c_str(),
                    NERRA_PTR_ARG(&stream))
}

std::string CPOP3ServerConnection::ProcessTop(CRequestStream& stream)
{
    std::string number, count, error;
    if (!ReadTwoArgumentsFromStream(stream, number, count, error))
        return error;
    uint32_t limit = 0;
    if (!count.empty()) {
        if (!MatchesWhole(count, Digits10Pattern))
            return "-ERR Malformed line count\r\n";
        // Ten digits may pass 32 bits; such a count is as good as no limit at all.
        limit = static_cast<uint32_t>(std::min<unsigned long long>(strtoull(count.c_str(), nullptr, 10), NO_LINE_LIMIT));
    }
    CMailboxMessage* message = AccessMessage(number, error);
    if (!message)
        return error;
    OpenResponseFile(*message, limit);
    if (limit == 0)
        return "+OK Message header up to and including the trailing CRLF\r\n";
    return Format("+OK Message header followed by the trailing CRLF and at most %u body line(s)\r\n", limit);
}

CMailboxMessage* CPOP3ServerConnection::ReadMessageArgument(CRequestStream& stream, std::string& number, std::string& error)
{
    return ReadArgumentFromStream(stream, number, error) ? AccessMessage(number, error) : nullptr;
}

std::string CPOP3ServerConnection::ProcessRetr(CRequestStream& stream)
{
    std::string number, error;
    CMailboxMessage* message = ReadMessageArgument(stream, number, error);
    if (!message)
        return error;
    OpenResponseFile(*message, NO_LINE_LIMIT);
    return Format("+OK %" PRIu64 " octet(s)\r\n", message->size);
}

std::string CPOP3ServerConnection::ProcessDele(CRequestStream& stream)
{
    std::string number, error;
    CMailboxMessage* message = ReadMessageArgument(stream, number, error);
    if (!message)
        return error;
    message->deleted = true;
    --m_Count;
    m_Total -= message->size;
    return "+OK Message deleted\r\n";
}

std::string CPOP3ServerConnection::ProcessList(CRequestStream& stream)
{
    if (stream.AtEnd()) {
        std::string reply = Format("+OK %u message(s), %" PRIu64 " octet(s)\r\n", m_Count, m_Total);
        for (size_t index = 0; index < m_Messages.size(); ++index) {
            if (!m_Messages[index].deleted)
                reply += Format("%u %" PRIu64 "\r\n", static_cast<unsigned>(index + 1), m_Messages[index].size);
        }
        return reply + ".\r\n";
    }
    std::string number, error;
    CMailboxMessage* message = ReadMessageArgument(stream, number, error);
    if (!message)
        return error;
    return Format("+OK %s %" PRIu64 "\r\n", number.c_str(), message->size);
}

std::string CPOP3ServerConnection::ProcessRset()
{
    m_Count = 0;
    m_Total = 0;
    for (CMailboxMessage& message : m_Messages) {
        message.deleted = false;
        ++m_Count;
        m_Total += message.size;
    }
    m_Last = 0;
    return "+OK Mailbox reset\r\n";
}

bool CPOP3ServerConnection::ReadArgumentFromStream(CRequestStream& stream, std::string& argument, std::string& error)
{
    if (stream.AtEnd()) {
        error = "-ERR Argument required\r\n";
        return false;
    }
    argument = stream.NextToken();
    if (!stream.AtEnd()) {
        error = "-ERR Single argument required\r\n";
        return false;
    }
    return true;
}

bool CPOP3ServerConnection::ReadTwoArgumentsFromStream(CRequestStream& stream, std::string& first,
                                                       std::string& second, std::string& error)
{
    if (stream.AtEnd()) {
        error = "-ERR At least one argument required\r\n";
        return false;
    }
    first = stream.NextToken();
    second.clear();
    if (!stream.AtEnd())
        second = stream.NextToken();
    if (!stream.AtEnd()) {
        error = "-ERR At most two arguments required\r\n";
        return false;
    }
    return true;
}

bool CPOP3ServerConnection::AuthenticateLockMailBox(std::string& reply)
{
    NERRA_TRACE_BEGIN
    if (!Authenticate(reply) || !LockMailBox(reply))
        return false;
    LoadMailBox();
    CLog::Instance().Info("CPOP3ServerConnection::ProcessClientRequestAuthState: user %s logged in from %s",
                          m_UserName.c_str(), m_Peer.c_str());
    reply = "+OK Mailbox ready\r\n";
    return true;
    NERRA_TRACE_END("CPOP3ServerConnection::AuthenticateLockMailBox(" NERRA_PTR ")", NERRA_PTR_ARG(&reply))
}

bool CPOP3ServerConnection::Authenticate(std::string& reply)
{
    std::shared_ptr<CUserXML> user;
    std::string failure;
    // Only an account that exists is loaded: a name a client makes up must leave nothing
    // behind in the account cache. The client learns only that the login failed.
    try {
        if (IsInsideMailDirectory(UserDirectory(m_UserName)) &&
            CFile::GetKind(CUserXML::PathFor(m_UserName)) == CFile::RegularFile)
            user = UserPool().GetObject(m_UserName);
    } catch (...) {
        failure = ": " + CurrentFailureText();
    }
    if (!user) {
        CLog::Instance().Warning("CPOP3ServerConnection::AuthenticateLockMailBox('%s'): failed to access user "
                                 "configuration file, ignoring error and returning auth failure%s",
                                 m_UserName.c_str(), failure.c_str());
        reply = AUTHENTICATION_FAILED;
        return false;
    }
    // An account without a POP3 password cannot log in; a broken handler description is
    // the account's fault and fails the request.
    xmlNodePtr element = CXPathContext(*user).Eval("/user/pop3-server/authentication").GetNodePtr();
    if (!element || !CAuthentication::Create(element)->Authenticate(m_UserName, m_Password)) {
        CLog::Instance().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): authentication failed for user %s "
                                 "from %s",
                                 m_UserName.c_str(), m_Peer.c_str());
        reply = AUTHENTICATION_FAILED;
        return false;
    }
    return true;
}

// The lock file is held open without sharing for the whole session, across processes as
// well; it is removed again when the session closes it.
bool CPOP3ServerConnection::LockMailBox(std::string& reply)
{
    const std::string directory = MailBoxDirectory(m_UserName, m_MailBox);
    // A mailbox that leads out of the mail store is refused like a busy one: the session
    // would serve and delete files elsewhere.
    try {
        if (IsInsideMailDirectory(directory))
            m_LockFile = std::make_shared<CFile>(directory + "/.lock", CFile::Reading | CFile::Writing,
                                                 CFile::CreateOrOpen, CFile::ExclusiveLock | CFile::RemoveOnClose);
    } catch (...) {
    }
    if (!m_LockFile) {
        CLog::Instance().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): user %s authenticated from %s but "
                                 "the mailbox was busy",
                                 m_UserName.c_str(), m_Peer.c_str());
        reply = "-ERR Unable to lock mailbox\r\n";
        return false;
    }
    return true;
}

void CPOP3ServerConnection::LoadMailBox()
{
    // Regular files only: a link or a device in the mailbox is never served.
    m_Messages.clear();
    for (const CFileInfo& file : CFile::ListFiles(MailBoxDirectory(m_UserName, m_MailBox), "*.msg"))
        m_Messages.push_back(CMailboxMessage{file, false});
    std::sort(m_Messages.begin(), m_Messages.end(), OlderFirst);
    m_Count = static_cast<uint32_t>(m_Messages.size());
    m_Total = 0;
    for (const CMailboxMessage& message : m_Messages)
        m_Total += message.size;
    m_Last = 0;
}

CMailboxMessage* CPOP3ServerConnection::AccessMessage(const std::string& number, std::string& error)
{
    NERRA_TRACE_BEGIN
    if (!MatchesWhole(number, Digits8Pattern)) {
        error = "-ERR Malformed message ID\r\n";
        return nullptr;
    }
    const uint32_t n = static_cast<uint32_t>(strtoul(number.c_str(), nullptr, 10));
    // Taken unsigned, 0 wraps round and fails the range check like a number too large.
    if (n - 1u < m_Messages.size()) {
        m_Last = std::max(m_Last, n);
        CMailboxMessage& message = m_Messages[n - 1u];
        if (!message.deleted)
            return &message;
    }
    error = NO_SUCH_MESSAGE;
    return nullptr;
    NERRA_TRACE_END("CPOP3ServerConnection::AccessMessage('%s')", number.c_str())
}

void CPOP3ServerConnection::OpenResponseFile(const CMailboxMessage& message, uint32_t lineLimit)
{
    m_ResponseFile = std::make_shared<CFile>(message.path, CFile::Reading, CFile::MustExist);
    if (!m_Buffer)
        m_Buffer.reset(new char[SLICE]);
    m_InBody = false;
    m_LineLimit = lineLimit;
    m_AtLineStart = true;
    m_PendingCR = false;
}

// Reads at most one slice of the file. A read that comes back short is followed by another
// at once, so the end of a short message leaves together with its text rather than in a
// segment of its own.
bool CPOP3ServerConnection::ProcessServerResponseFile(std::string& output)
{
    NERRA_TRACE_BEGIN
    uint32_t budget = SLICE;
    while (m_ResponseFile && budget > 0) {
        const uint32_t length = m_ResponseFile->Read(m_Buffer.get(), budget);
        if (length == 0) {
            FinishResponseFile(output);
            break;
        }
        ScanLines(m_Buffer.get(), length, output);
        budget -= length;
    }
    return static_cast<bool>(m_ResponseFile);
    NERRA_TRACE_END("CPOP3ServerConnection::ProcessServerResponseFile")
}

// Lines end at LF or CR LF, and a lone CR is data. The bytes of a line go out as soon as
// they are read, so a line of any length costs no more memory than one slice; only a CR at
// the very end of a read waits, since the next read may begin with its LF.
void CPOP3ServerConnection::ScanLines(const char* data, uint32_t length, std::string& output)
{
    const char* const end = data + length;
    if (m_PendingCR) {
        m_PendingCR = false;
        if (*data == '\n') {
            ++data;
            if (!EndLine(output))
                return;
        } else {
            EmitLineText("\r", 1, output);
        }
    }
    while (data < end) {
        const char* lineFeed = static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(end - data)));
        if (!lineFeed) {
            const char* textEnd = end;
            if (end[-1] == '\r') {
                --textEnd;
                m_PendingCR = true;
            }
            EmitLineText(data, static_cast<size_t>(textEnd - data), output);
            break;
        }
        const char* textEnd = lineFeed > data && lineFeed[-1] == '\r' ? lineFeed - 1 : lineFeed;
        EmitLineText(data, static_cast<size_t>(textEnd - data), output);
        data = lineFeed + 1;
        if (!EndLine(output))
            return;
    }
}

void CPOP3ServerConnection::EmitLineText(const char* data, size_t length, std::string& output)
{
    if (length == 0)
        return;
    // A line that starts with a dot gets another, so the client cannot take it for the end.
    if (m_AtLineStart && data[0] == '.')
        output += '.';
    output.append(data, length);
    m_AtLineStart = false;
}

// Ends the current line; false once the line limit has ended the message.
bool CPOP3ServerConnection::EndLine(std::string& output)
{
    const bool empty = m_AtLineStart;
    output += "\r\n";
    m_AtLineStart = true;
    if (!m_InBody && empty)
        m_InBody = true;
    if (!m_InBody)
        return true;
    if (m_LineLimit == 0) {
        output += ".\r\n";
        m_ResponseFile.reset();
        return false;
    }
    --m_LineLimit;
    return true;
}

// A message without an empty line is all header: the header's trailing CR LF still goes
// out before the final dot.
void CPOP3ServerConnection::FinishResponseFile(std::string& output)
{
    if (m_PendingCR) {
        m_PendingCR = false;
        EmitLineText("\r", 1, output);
    }
    if (!m_AtLineStart)
        output += "\r\n";
    output += m_InBody ? ".\r\n" : "\r\n.\r\n";
    m_ResponseFile.reset();
}

}  // namespace Nerra
