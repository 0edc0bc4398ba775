#include "mail/CPOP3ServerSession.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

const char* const ARGUMENT_UNEXPECTED = "-ERR Argument is unexpected\r\n";
const char* const ARGUMENT_REQUIRED = "-ERR Argument required\r\n";
const char* const SINGLE_ARGUMENT = "-ERR Single argument required\r\n";
const char* const AT_MOST_TWO = "-ERR At most two arguments required\r\n";
const char* const NO_SUCH_MESSAGE = "-ERR No such message\r\n";
const char* const AUTHENTICATION_FAILED = "-ERR [AUTH] Authentication failed\r\n";
const char* const TLS_REQUIRED = "-ERR [AUTH] TLS required\r\n";
const char* const AUTHORIZATION_ONLY = "-ERR Will only accept USER and PASS in authorization state\r\n";
const char* const TRANSACTION_ONLY =
    "-ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP in transaction state\r\n";

constexpr unsigned AUTHORIZATION = 1u << CPOP3ServerSession::stateAUTHORIZATION;
constexpr unsigned TRANSACTION = 1u << CPOP3ServerSession::stateTRANSACTION;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A request line as white-space separated tokens, the command first.
std::vector<std::string> Tokens(const std::string& line)
{
    std::vector<std::string> tokens;
    for (size_t position = 0; position < line.size();) {
        while (position < line.size() && IsSpace(line[position]))
            ++position;
        const size_t start = position;
        while (position < line.size() && !IsSpace(line[position]))
            ++position;
        if (position > start)
            tokens.push_back(line.substr(start, position - start));
    }
    return tokens;
}

CPOP3Reply Reply(std::string text, CPOP3Reply::EAction action = CPOP3Reply::actNONE)
{
    CPOP3Reply reply;
    reply.text = std::move(text);
    reply.action = action;
    return reply;
}

}  // namespace

const CPOP3ServerSession::CCommand CPOP3ServerSession::COMMANDS[] = {
    {"CAPA", AUTHORIZATION | TRANSACTION, &CPOP3ServerSession::Capa},
    {"QUIT", AUTHORIZATION | TRANSACTION, &CPOP3ServerSession::Quit},
    {"USER", AUTHORIZATION, &CPOP3ServerSession::User},
    {"PASS", AUTHORIZATION, &CPOP3ServerSession::Pass},
    {"AUTH", AUTHORIZATION, &CPOP3ServerSession::Auth},
    {"STLS", AUTHORIZATION, &CPOP3ServerSession::Stls},
    {"STAT", TRANSACTION, &CPOP3ServerSession::Stat},
    {"LIST", TRANSACTION, &CPOP3ServerSession::List},
    {"UIDL", TRANSACTION, &CPOP3ServerSession::Uidl},
    {"TOP", TRANSACTION, &CPOP3ServerSession::Top},
    {"RETR", TRANSACTION, &CPOP3ServerSession::Retr},
    {"DELE", TRANSACTION, &CPOP3ServerSession::Dele},
    {"RSET", TRANSACTION, &CPOP3ServerSession::Rset},
    {"LAST", TRANSACTION, &CPOP3ServerSession::Last},
    {"NOOP", TRANSACTION, &CPOP3ServerSession::Noop},
};

CPOP3ServerSession::CPOP3ServerSession(CPOP3SessionOptions options) : m_Options(std::move(options)) {}

CPOP3Reply CPOP3ServerSession::Request(const std::string& line)
{
    // Taken before the line is handled, which ends the wait for a response.
    const std::string loggable = LoggableRequest(line);
    NERRA_TRACE_BEGIN
    if (m_AwaitingSaslResponse) {
        m_AwaitingSaslResponse = false;
        return SaslResponse(Trim(line));
    }
    CArguments arguments = Tokens(line);
    const std::string command = arguments.empty() ? std::string() : ToUpper(arguments.front());
    if (!arguments.empty())
        arguments.erase(arguments.begin());
    for (const CCommand& entry : COMMANDS) {
        if (command == entry.name && (entry.states & (1u << m_State)))
            return (this->*entry.handler)(arguments);
    }
    return Unexpected();
    NERRA_TRACE_END("CPOP3ServerSession::Request('%s')", loggable.c_str())
}

std::string CPOP3ServerSession::LoggableRequest(const std::string& line) const
{
    if (m_AwaitingSaslResponse)
        return "****";
    size_t start = 0;
    while (start < line.size() && IsSpace(line[start]))
        ++start;
    const std::string command = ToUpper(line.substr(start, 4));
    return command == "PASS" || command == "AUTH" ? command + " ****" : line;
}

CPOP3Reply CPOP3ServerSession::Unexpected()
{
    if (m_State == stateTRANSACTION)
        return Reply(TRANSACTION_ONLY);
    return ForgetUser(AUTHORIZATION_ONLY);
}

CPOP3Reply CPOP3ServerSession::ForgetUser(const char* reply)
{
    m_Credentials = CPOP3Credentials();
    return Reply(reply);
}

CPOP3Reply CPOP3ServerSession::Capa(const CArguments& arguments)
{
    if (!arguments.empty())
        return Reply(ARGUMENT_UNEXPECTED);
    std::string text = "+OK Capability list follows\r\nTOP\r\nUIDL\r\n";
    const bool authorization = m_State == stateAUTHORIZATION;
    if (authorization && CredentialsAllowed())
        text += "USER\r\nSASL PLAIN\r\n";
    if (authorization && m_Options.tlsOffered && !m_Options.tlsActive)
        text += "STLS\r\n";
    text += "PIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\nIMPLEMENTATION " + m_Options.implementation + "\r\n.\r\n";
    return Reply(text);
}

// In the transaction state the deletions are applied and the mailbox let go before the
// reply, so a client that logs in again at once finds the mailbox free and up to date.
CPOP3Reply CPOP3ServerSession::Quit(const CArguments& /*arguments*/)
{
    size_t failed = 0;
    if (m_State == stateTRANSACTION) {
        std::vector<size_t> deleted;
        for (size_t index = 0; index < m_Messages.size(); ++index) {
            if (m_Messages[index].deleted)
                deleted.push_back(index);
        }
        if (!deleted.empty())
            failed = m_Maildrop->Remove(deleted);
        m_Maildrop.reset();
    }
    m_State = stateCLOSING;
    return Reply(failed ? "-ERR [SYS/PERM] Some deleted messages were not removed\r\n" : "+OK Closing connection\r\n",
                 CPOP3Reply::actCLOSE);
}

CPOP3Reply CPOP3ServerSession::User(const CArguments& arguments)
{
    if (!CredentialsAllowed())
        return ForgetUser(TLS_REQUIRED);
    if (!m_Credentials.user.empty())
        return ForgetUser("-ERR USER was unexpected\r\n");
    if (arguments.size() != 1)
        return Reply(arguments.empty() ? ARGUMENT_REQUIRED : SINGLE_ARGUMENT);
    boost::smatch groups;
    if (!boost::regex_match(arguments[0], groups, UserMailboxPattern))
        return Reply("-ERR Malformed username\r\n");
    m_Credentials.user = groups[1].str();
    m_Credentials.mailbox = groups[2].matched ? groups[2].str() : std::string("mail");
    return Reply(Format("+OK Username \"%s\" accepted, accessing \"%s\" mailbox\r\n", m_Credentials.user.c_str(),
                        m_Credentials.mailbox.c_str()));
}

CPOP3Reply CPOP3ServerSession::Pass(const CArguments& arguments)
{
    if (!CredentialsAllowed())
        return ForgetUser(TLS_REQUIRED);
    if (m_Credentials.user.empty())
        return Reply("-ERR PASS was unexpected\r\n");
    if (arguments.size() != 1)
        return ForgetUser(arguments.empty() ? ARGUMENT_REQUIRED : SINGLE_ARGUMENT);
    if (!MatchesWhole(arguments[0], PrintablePattern))
        return ForgetUser("-ERR Malformed password\r\n");
    m_Credentials.password = arguments[0];
    return Reply(std::string(), CPOP3Reply::actCHECK_LOGIN);
}

CPOP3Reply CPOP3ServerSession::Auth(const CArguments& arguments)
{
    m_Credentials = CPOP3Credentials();
    if (!CredentialsAllowed())
        return Reply(TLS_REQUIRED);
    if (arguments.empty())
        return Reply("+OK Mechanisms follow\r\nPLAIN\r\n.\r\n");
    if (arguments.size() > 2)
        return Reply(AT_MOST_TWO);
    if (ToUpper(arguments[0]) != "PLAIN")
        return Reply("-ERR Unsupported authentication mechanism\r\n");
    if (arguments.size() == 2)
        return SaslResponse(arguments[1]);
    m_AwaitingSaslResponse = true;
    return Reply("+ \r\n");
}

// "authorization identity NUL authentication identity NUL password", in Base64. A client that
// names an identity to act as may name only its own.
CPOP3Reply CPOP3ServerSession::SaslResponse(const std::string& response)
{
    if (response == "*")
        return Reply("-ERR Authentication cancelled\r\n");
    const std::string decoded = response == "=" ? std::string() : DecodeBASE64(response);
    const size_t first = decoded.find('\0');
    const size_t second = first == std::string::npos ? first : decoded.find('\0', first + 1);
    if (second == std::string::npos || decoded.find('\0', second + 1) != std::string::npos)
        return Reply("-ERR Malformed authentication response\r\n");
    const std::string authorization = decoded.substr(0, first);
    const std::string identity = decoded.substr(first + 1, second - first - 1);
    const std::string password = decoded.substr(second + 1);
    boost::smatch groups;
    if ((!authorization.empty() && authorization != identity) ||
        !boost::regex_match(identity, groups, UserMailboxPattern) || !MatchesWhole(password, PrintablePattern)) {
        CPOP3Reply reply = Reply(AUTHENTICATION_FAILED);
        reply.delayed = true;
        return reply;
    }
    m_Credentials.user = groups[1].str();
    m_Credentials.mailbox = groups[2].matched ? groups[2].str() : std::string("mail");
    m_Credentials.password = password;
    return Reply(std::string(), CPOP3Reply::actCHECK_LOGIN);
}

// What the client learned before TLS counts for nothing after it.
CPOP3Reply CPOP3ServerSession::Stls(const CArguments& arguments)
{
    if (!m_Options.tlsOffered)
        return Unexpected();
    m_Credentials = CPOP3Credentials();
    if (m_Options.tlsActive)
        return Reply("-ERR TLS is already active\r\n");
    if (!arguments.empty())
        return Reply(ARGUMENT_UNEXPECTED);
    m_Options.tlsActive = true;
    return Reply("+OK Begin TLS negotiation\r\n", CPOP3Reply::actSTART_TLS);
}

CPOP3Reply CPOP3ServerSession::FinishLogin(CPOP3LoginOutcome outcome)
{
    m_Credentials.password.clear();
    switch (outcome.result) {
    case EPOP3Login::Accepted: break;
    case EPOP3Login::Refused: {
        // A refused login is answered late, so guessing passwords is slow.
        CPOP3Reply reply = ForgetUser(AUTHENTICATION_FAILED);
        reply.delayed = true;
        return reply;
    }
    case EPOP3Login::InUse: return ForgetUser("-ERR [IN-USE] Unable to lock mailbox\r\n");
    case EPOP3Login::NoMailbox: return ForgetUser("-ERR [SYS/PERM] Unable to lock mailbox\r\n");
    case EPOP3Login::AccountBusy: return ForgetUser("-ERR [SYS/TEMP] Account is being updated, try again\r\n");
    case EPOP3Login::AccountBroken: return ForgetUser("-ERR [SYS/PERM] Unable to check the password\r\n");
    default: return ForgetUser("-ERR [SYS/TEMP] Unable to open mailbox\r\n");
    }
    m_Maildrop = std::move(outcome.maildrop);
    m_Messages.clear();
    m_Messages.reserve(m_Maildrop->GetMessages().size());
    for (const CPOP3MessageEntry& entry : m_Maildrop->GetMessages())
        m_Messages.push_back(CMessage{&entry, false});
    Rset(CArguments());
    m_State = stateTRANSACTION;
    return Reply("+OK Mailbox ready\r\n");
}

CPOP3Reply CPOP3ServerSession::Stat(const CArguments& arguments)
{
    return Reply(arguments.empty() ? Format("+OK %u %" PRIu64 "\r\n", m_Count, m_Total) : ARGUMENT_UNEXPECTED);
}

CPOP3Reply CPOP3ServerSession::List(const CArguments& arguments)
{
    std::string error;
    if (arguments.empty()) {
        std::string text = Format("+OK %u message(s), %" PRIu64 " octet(s)\r\n", m_Count, m_Total);
        for (size_t index = 0; index < m_Messages.size(); ++index) {
            if (!m_Messages[index].deleted)
                text += Format("%u %" PRIu64 "\r\n", static_cast<unsigned>(index + 1), m_Messages[index].entry->size);
        }
        return Reply(text + ".\r\n");
    }
    CMessage* message = MessageArgument(arguments, error);
    if (!message)
        return Reply(error);
    return Reply(Format("+OK %s %" PRIu64 "\r\n", arguments[0].c_str(), message->entry->size));
}

CPOP3Reply CPOP3ServerSession::Uidl(const CArguments& arguments)
{
    std::string error;
    if (arguments.empty()) {
        std::string text = "+OK Unique-ID listing follows\r\n";
        for (size_t index = 0; index < m_Messages.size(); ++index) {
            if (!m_Messages[index].deleted)
                text += Format("%u %s\r\n", static_cast<unsigned>(index + 1), m_Messages[index].entry->uid.c_str());
        }
        return Reply(text + ".\r\n");
    }
    CMessage* message = MessageArgument(arguments, error);
    if (!message)
        return Reply(error);
    return Reply(Format("+OK %s %s\r\n", arguments[0].c_str(), message->entry->uid.c_str()));
}

CPOP3Reply CPOP3ServerSession::Top(const CArguments& arguments)
{
    if (arguments.empty())
        return Reply("-ERR At least one argument required\r\n");
    if (arguments.size() > 2)
        return Reply(AT_MOST_TWO);
    uint32_t limit = 0;
    if (arguments.size() == 2) {
        if (!MatchesWhole(arguments[1], Digits10Pattern))
            return Reply("-ERR Malformed line count\r\n");
        // Ten digits may pass 32 bits; such a count is as good as no limit at all.
        limit = static_cast<uint32_t>(std::min<unsigned long long>(strtoull(arguments[1].c_str(), nullptr, 10),
                                                                   CPOP3MessageEncoder::NO_LINE_LIMIT));
    }
    std::string error;
    CMessage* message = AccessMessage(arguments[0], error);
    if (!message)
        return Reply(error);
    if (limit == 0)
        return SendMessage(*message, 0, "+OK Message header up to and including the trailing CRLF\r\n");
    return SendMessage(*message, limit,
                       Format("+OK Message header followed by the trailing CRLF and at most %u body line(s)\r\n", limit));
}

CPOP3Reply CPOP3ServerSession::Retr(const CArguments& arguments)
{
    std::string error;
    CMessage* message = MessageArgument(arguments, error);
    if (!message)
        return Reply(error);
    return SendMessage(*message, CPOP3MessageEncoder::NO_LINE_LIMIT,
                       Format("+OK %" PRIu64 " octet(s)\r\n", message->entry->size));
}

// A message that cannot be read any more (removed behind the session's back) is answered
// alone; the session goes on.
CPOP3Reply CPOP3ServerSession::SendMessage(CMessage& message, uint32_t lineLimit, std::string text)
{
    const size_t index = static_cast<size_t>(&message - m_Messages.data());
    std::unique_ptr<CPOP3MessageReader> reader;
    try {
        reader = m_Maildrop->Open(index);
    } catch (...) {
        return Reply("-ERR [SYS/TEMP] Unable to read message\r\n");
    }
    CPOP3Reply reply = Reply(std::move(text), CPOP3Reply::actSEND_MESSAGE);
    reply.message = std::make_unique<CPOP3MessageEncoder>(std::move(reader), lineLimit);
    return reply;
}

CPOP3Reply CPOP3ServerSession::Dele(const CArguments& arguments)
{
    std::string error;
    CMessage* message = MessageArgument(arguments, error);
    if (!message)
        return Reply(error);
    message->deleted = true;
    --m_Count;
    m_Total -= message->entry->size;
    return Reply("+OK Message deleted\r\n");
}

CPOP3Reply CPOP3ServerSession::Rset(const CArguments& arguments)
{
    if (!arguments.empty())
        return Reply(ARGUMENT_UNEXPECTED);
    m_Count = 0;
    m_Total = 0;
    for (CMessage& message : m_Messages) {
        message.deleted = false;
        ++m_Count;
        m_Total += message.entry->size;
    }
    m_Last = 0;
    return Reply("+OK Mailbox reset\r\n");
}

CPOP3Reply CPOP3ServerSession::Last(const CArguments& arguments)
{
    return Reply(arguments.empty() ? Format("+OK %u\r\n", m_Last) : ARGUMENT_UNEXPECTED);
}

CPOP3Reply CPOP3ServerSession::Noop(const CArguments& arguments)
{
    return Reply(arguments.empty() ? "+OK\r\n" : ARGUMENT_UNEXPECTED);
}

CPOP3ServerSession::CMessage* CPOP3ServerSession::MessageArgument(const CArguments& arguments, std::string& error)
{
    if (arguments.size() != 1) {
        error = arguments.empty() ? ARGUMENT_REQUIRED : SINGLE_ARGUMENT;
        return nullptr;
    }
    return AccessMessage(arguments[0], error);
}

CPOP3ServerSession::CMessage* CPOP3ServerSession::AccessMessage(const std::string& number, std::string& error)
{
    if (!MatchesWhole(number, Digits8Pattern)) {
        error = "-ERR Malformed message ID\r\n";
        return nullptr;
    }
    const uint32_t n = static_cast<uint32_t>(strtoul(number.c_str(), nullptr, 10));
    // Taken unsigned, 0 wraps round and fails the range check like a number too large.
    if (n - 1u < m_Messages.size()) {
        m_Last = std::max(m_Last, n);
        CMessage& message = m_Messages[n - 1u];
        if (!message.deleted)
            return &message;
    }
    error = NO_SUCH_MESSAGE;
    return nullptr;
}

}  // namespace Nerra
