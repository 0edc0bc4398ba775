#include "mail/CPOP3ClientConnection.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CPOP3ClientMessage.h"
#include "net/CConnectedSocket.h"
#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "net/CNetwork.h"
#include "net/CSocketFactory.h"
#include "runtime/CWorkerThreadPool.h"

namespace Nerra {

namespace {

// A message line longer than this is cut when it is stored; 2 more bytes make the line end.
constexpr size_t MAX_DATA_LINE = 65534;
// Lines wait here before they are written, so a message costs a few large writes.
constexpr size_t WRITE_BUFFER_SIZE = 65536;
// A header this long or longer, trace line included, is not handed to the rule set at all.
constexpr size_t MAX_HEADER_SIZE = 65536;
// The transport keeps no more of one line than this: a server that never ends a line must
// not make the connection hold it all.
constexpr size_t MAX_RECEIVED_LINE = 65536;
constexpr uint32_t RECEIVE_CHUNK = 65536;
// Socket reads one search for a line end may make before the step ends.
constexpr int MAX_READS_PER_LINE = 16;
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

}  // namespace

CPOP3ClientSocketTransport::CPOP3ClientSocketTransport(const std::string& host, const std::string& port)
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

int CPOP3ClientSocketTransport::GetPollDescriptor() const
{
    if (m_Socket)
        return m_Socket->GetPollDescriptor();
    return m_Connector ? m_Connector->GetPollDescriptor() : -1;
}

bool CPOP3ClientSocketTransport::HasPendingOutput() const
{
    return m_Socket && m_Socket->HasPendingOutput();
}

CPOP3ClientConnection::CPOP3ClientConnection(const std::string& host, const std::string& port,
                                             const std::string& remoteUser, const std::string& password,
                                             const std::string& localUser, const std::shared_ptr<CUserXML>& user)
    : CPOP3ClientConnection(host, port, remoteUser, password, localUser, user,
                            std::make_unique<CPOP3ClientSocketTransport>(host, port),
                            [](const std::shared_ptr<CPOP3ClientMessage>& message) {
                                SequentialPool().PushWorkUnit(message, false);
                            })
{
}

CPOP3ClientConnection::CPOP3ClientConnection(const std::string& host, const std::string& port,
                                             const std::string& remoteUser, const std::string& password,
                                             const std::string& localUser, const std::shared_ptr<CUserXML>& user,
                                             std::unique_ptr<CPOP3ClientTransport> transport, CMessageSink sink)
    : CParallelWorkUnit(Format("CPOP3ClientConnection(%s, %s@%s:%s)", localUser.c_str(), remoteUser.c_str(),
                               host.c_str(), port.c_str())),
      m_Host(host),
      m_Port(port),
      m_RemoteUser(remoteUser),
      m_Password(password),
      m_LocalUser(localUser),
      m_User(user),
      m_Transport(std::move(transport)),
      m_Sink(std::move(sink))
{
    NERRA_TRACE_BEGIN
    // Each goes out on a command line of its own: a line break would end it early and send
    // the rest as commands of their own, and a NUL byte cuts it short.
    if (remoteUser.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
        password.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw CMessageException("The user name or password for %s:%s holds a line break or a NUL byte, the mailbox "
                                "is not fetched",
                                host.c_str(), port.c_str());
    // A group of 0 messages would never close, and the groups are counted by division: the
    // setting accepts no less than 1.
    CConfig& config = CConfig::Instance();
    m_MessagesPerSync = static_cast<int32_t>(config.GetNumber("pop3-messages-per-sync"));
    m_MessagesPerConnection = static_cast<int32_t>(config.GetNumber("pop3-messages-per-session"));
    const long attemptTimeout = config.GetNumber("pop3-connection-attempt-timeout-sec");
    m_InactivityTimeout = static_cast<int32_t>(config.GetNumber("outgoing-connection-timeout-sec"));
    m_RawDirectory = CConfig::Instance().GetValue("mail-directory") + "/" + localUser + "/.raw";
    m_ConnectDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(attemptTimeout);
    m_WriteBuffer.reserve(WRITE_BUFFER_SIZE);
    Queue(0, "USER " + remoteUser + "\r\n", EData::None, nullptr, EFlow::Alone);
    Queue(0, "PASS " + password + "\r\n", EData::None, nullptr, EFlow::Alone);
    Queue(0, "STAT\r\n", EData::None, &CPOP3ClientConnection::StatCallback, EFlow::Alone);
    NERRA_TRACE_END("CPOP3ClientConnection::CPOP3ClientConnection('%s', '%s', '%s', '%s')", host.c_str(),
                    port.c_str(), remoteUser.c_str(), localUser.c_str())
}

CPOP3ClientConnection::~CPOP3ClientConnection() = default;

bool CPOP3ClientConnection::Process(bool& idle)
{
    NERRA_TRACE_BEGIN
    if (!m_Connected)
        return Connect(idle);
    if (m_Phase == 1)
        return AwaitReply(idle);
    return SendNextCommand();
    NERRA_TRACE_END("CPOP3ClientConnection::Process(" NERRA_PTR ")", NERRA_PTR_ARG(&idle))
}

bool CPOP3ClientConnection::GetPollRequest(int& descriptor, short& events) const
{
    // While the rule set decides, the wait is for the pass the handler looks at first.
    if (m_WaitingForPasses) {
        descriptor = m_PassWaitHandle;
        events = POLLIN;
        return descriptor >= 0;
    }
    descriptor = m_Transport->GetPollDescriptor();
    if (descriptor < 0)
        return false;
    if (!m_Connected)
        events = POLLOUT;
    else
        events = static_cast<short>(POLLIN | (m_Transport->HasPendingOutput() ? POLLOUT : 0));
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
    if (m_ReplyLine.empty()) {
        std::string line;
        if (!m_Transport->ReceiveLine(line)) {
            idle = true;
            return true;
        }
        if (line.compare(0, 3, "+OK") != 0)
            FailReply(line);
        m_ReplyLine = ValidateRegexedLine(line);
        return true;
    }
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
    std::string text = m_Current.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string CPOP3ClientConnection::MaskPassword(const std::string& reply) const
{
    return Replace(reply, m_Password, "********");
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
                                  EFlow flow)
{
    m_Queue.push_back(Command(number, text, data, handler, flow));
}

CPOP3ClientMessage& CPOP3ClientConnection::Message(uint32_t number) const
{
    if (number == 0 || number > m_Messages.size() || !m_Messages[number - 1])
        throw CMessageException("No message %u in this session", number);
    return *m_Messages[number - 1];
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
    const uint32_t total = static_cast<uint32_t>(
        std::min<uint64_t>(ToNumber(count), static_cast<uint64_t>(m_MessagesPerConnection)));
    const uint32_t perSync = static_cast<uint32_t>(m_MessagesPerSync);
    // The units are made as their LIST replies come: a large session holds only those begun.
    m_Messages.assign(total, nullptr);
    for (uint32_t i = 1; i <= total; ++i) {
        Queue(i, Format("LIST %u\r\n", i), EData::None, &CPOP3ClientConnection::ListCallback, EFlow::Ahead);
        Queue(i, Format("TOP %u 0\r\n", i), EData::Text, &CPOP3ClientConnection::TopCallback, EFlow::Ahead);
        if (i % perSync == 0)
            Queue(i, "NOOP\r\n", EData::None, &CPOP3ClientConnection::NoopCallback, EFlow::AheadHold);
    }
    if (total % perSync != 0)
        Queue(total, "NOOP\r\n", EData::None, &CPOP3ClientConnection::NoopCallback, EFlow::AheadHold);
    // Deletions take effect when the server sees QUIT: it waits for the last DELE's answer.
    Queue(0, "QUIT\r\n", EData::None, nullptr, EFlow::Alone);
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::StatCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
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
    if (number == 0 || number > m_Messages.size())
        throw CMessageException("No message %u in this session", number);
    auto message = std::make_shared<CPOP3ClientMessage>(m_LocalUser, m_User);
    message->SetMessageSize(static_cast<uint32_t>(std::min<uint64_t>(ToNumber(size), UINT32_MAX)));
    m_Messages[number - 1] = message;
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
    m_Sink(m_Messages[number - 1]);
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::TopCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

bool CPOP3ClientConnection::NoopCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    const uint32_t perSync = static_cast<uint32_t>(m_MessagesPerSync);
    const uint32_t first = (number - 1) / perSync * perSync + 1;
    for (uint32_t i = first; i <= number; ++i) {
        CPOP3ClientMessage& message = Message(i);
        // The pool must also have let go of the unit: it refuses a unit it still holds, and
        // the second pass is pushed as soon as the message is downloaded.
        if (!message.IsFirstPassDone()) {
            m_PassWaitHandle = message.GetFirstPassPollHandle();
            return false;
        }
        if (m_Messages[i - 1].use_count() > 1) {
            // Only moments after the pass: the thread looks again after its sleep.
            m_PassWaitHandle = -1;
            return false;
        }
    }
    // Pushed to the front from the last message down, so they go out in ascending order
    // before the next group's LIST and TOP.
    for (uint32_t i = number; i >= first; --i) {
        m_Queue.push_front(
            Command(i, Format("DELE %u\r\n", i), EData::None, &CPOP3ClientConnection::DeleCallback, EFlow::Ahead));
        if (!m_Messages[i - 1]->GetDecision().IsDelete())
            m_Queue.push_front(
                Command(i, Format("RETR %u\r\n", i), EData::File, &CPOP3ClientConnection::RetrCallback, EFlow::AheadHold));
    }
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
    CPOP3ClientMessage& message = Message(number);
    if (!file)
        throw CMessageException("No message text received");
    // The server forgets its copy after DELE: the whole text and its .msg name in .raw must
    // be on disk before then, or a crash could lose the message. Failing here still deletes
    // the file.
    file->Flush();
    const std::string part = file->GetPath();
    const std::string path = part.substr(0, part.size() - strlen(PART_EXTENSION)) + ".msg";
    if (!CFile::Move(part, path))
        throw CMessageException("Unable to move file %s to %s", part.c_str(), path.c_str());
    file->SetRemoveOnClose(false);
    m_ResponseFile.reset();
    try {
        if (!CFile::SyncDirectory(m_RawDirectory))
            throw CMessageException("Unable to flush directory %s to disk", m_RawDirectory.c_str());
        message.AttachMessageFile(path);
        m_Sink(m_Messages[number - 1]);
    } catch (...) {
        CFile::Remove(path);
        throw;
    }
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::RetrCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(traced))
}

bool CPOP3ClientConnection::DeleCallback(uint32_t number, std::istringstream& tokens,
                                         const std::shared_ptr<CFile>& file)
{
    NERRA_TRACE_BEGIN
    Message(number).ReleaseFirstPassEvent();
    // Processing holds the unit from here on; the connection needs it no longer.
    m_Messages[number - 1].reset();
    return true;
    NERRA_TRACE_END("CPOP3ClientConnection::DeleCallback(%u, " NERRA_PTR ", " NERRA_PTR ")", number,
                    NERRA_PTR_ARG(&tokens), NERRA_PTR_ARG(file.get()))
}

}  // namespace Nerra
