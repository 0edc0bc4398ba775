// Feeds arbitrary request lines, one per line of input, to a POP3 server session over a
// mailbox of a few messages (alice, password "secret"), sending each message as the socket
// would. Every reply must be well formed, every message on the wire must end once, after
// consistent dot-stuffing, and TOP must send the start of what RETR sends.
// Run it with -close_fd_mask=2: the session logs logins and malformed requests.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <strings.h>
#include <utime.h>

#include "FuzzMailStore.h"
#include "mail/CPOP3Login.h"
#include "mail/CPOP3ServerSession.h"

namespace {

using Nerra::CPOP3Reply;
using Nerra::CPOP3ServerSession;

// The messages of alice's "mail", oldest first, and the one of "spam".
const std::string MESSAGES[] = {
    "From: a@example.com\r\nSubject: one\r\n\r\nbody\r\n.leading dot\r\n..two dots\r\n.\r\nend\r\n",
    "Subject: lf only\n\nline\n\nlast line without an end",
    "Subject: all header\r\nX-Lone: a\rb\r\n",
    "Subject: long line\r\n\r\n" + std::string(70000, 'x') + "\r\n.\r\n",
};
const std::string SPAM = "Subject: spam\r\n\r\nspam\r\n";

// Puts back the messages an earlier input deleted with DELE and QUIT.
void RestoreMessages()
{
    const std::string user = NerraFuzz::CMailStore::Instance().User();
    for (size_t i = 0; i <= std::size(MESSAGES); ++i) {
        const std::string path =
            i < std::size(MESSAGES) ? user + "/mail/" + std::to_string(i) + ".msg" : user + "/spam/0.msg";
        if (std::filesystem::exists(path))
            continue;
        NerraFuzz::WriteFile(path, i < std::size(MESSAGES) ? MESSAGES[i] : SPAM);
        const utimbuf times{1126000000 + static_cast<time_t>(i), 1126000000 + static_cast<time_t>(i)};
        utime(path.c_str(), &times);
    }
}

bool StartsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }

// Every line ends in CR LF: a bare LF would let request text start a reply line of its own.
bool CRLFLines(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

// Multi-line data as sent: CR LF lines, a dot at a line start only doubled, and the lone
// dot that ends the data last and only there.
bool WellFormedData(const std::string& wire)
{
    if (!CRLFLines(wire))
        return false;
    size_t start = 0;
    while (start < wire.size()) {
        const size_t end = wire.find("\r\n", start);
        const std::string line = wire.substr(start, end - start);
        start = end + 2;
        if (line == ".")
            return start == wire.size();
        if (line[0] == '.' && line.compare(0, 2, "..") != 0)
            return false;
    }
    return false;
}

std::string SendMessage(Nerra::CPOP3MessageEncoder& message)
{
    std::string wire;
    while (message.Encode(wire)) {
    }
    if (!WellFormedData(wire))
        abort();
    return wire;
}

void CheckReply(const std::string& reply)
{
    if (reply == "+ \r\n")
        return;
    if (!(StartsWith(reply, "+OK") || StartsWith(reply, "-ERR")) || !CRLFLines(reply))
        abort();
    // Only listings (LIST, UIDL, CAPA, AUTH) answer on more than one line.
    if (reply.find("\r\n") != reply.size() - 2 && !WellFormedData(reply.substr(reply.find("\r\n") + 2)))
        abort();
}

// Message texts as sent, without the final dot, by message number.
struct CSent {
    std::map<unsigned, std::string> retrieved;
    std::multimap<unsigned, std::string> tops;

    void Add(const std::string& request, const std::string& wire)
    {
        char command[5] = {};
        unsigned number = 0;
        if (sscanf(request.c_str(), " %4s %u", command, &number) != 2)
            abort();  // the session sent a message for a request without a number
        const std::string text = wire.substr(0, wire.size() - 3);
        if (strcasecmp(command, "TOP") == 0) {
            tops.emplace(number, text);
            return;
        }
        auto known = retrieved.emplace(number, text);
        if (known.first->second != text)
            abort();  // the same message sent two ways
    }

    // "TOP n lines" sends the header and the first lines of what "RETR n" sends.
    void Check() const
    {
        for (const auto& [number, text] : tops) {
            auto whole = retrieved.find(number);
            if (whole != retrieved.end() && !StartsWith(whole->second, text))
                abort();
        }
    }
};

Nerra::CPOP3SessionOptions Options()
{
    Nerra::CPOP3SessionOptions options;
    options.implementation = "Nerra Mail Filter";
    options.tlsOffered = true;
    return options;
}

// A login is checked at once, where the service checks it on a login thread.
CPOP3Reply Answer(CPOP3ServerSession& session, const std::string& line)
{
    CPOP3Reply reply = session.Request(line);
    if (reply.action == CPOP3Reply::actCHECK_LOGIN)
        reply = session.FinishLogin(Nerra::CheckPOP3Login(session.GetCredentials(), "127.0.0.1"));
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NerraFuzz::CMailStore::Instance();
    RestoreMessages();
    const std::string input(reinterpret_cast<const char*>(data), size);
    CSent sent;
    {
        CPOP3ServerSession session(Options());
        size_t start = 0;
        while (start < input.size() && session.GetState() != CPOP3ServerSession::stateCLOSING) {
            size_t end = input.find('\n', start);
            if (end == std::string::npos)
                end = input.size();
            const std::string line = Nerra::ValidateRegexedLine(input.substr(start, end - start));
            start = end + 1;
            CPOP3Reply reply = Answer(session, line);
            CheckReply(reply.text);
            if (reply.message)
                sent.Add(line, SendMessage(*reply.message));
        }
    }
    sent.Check();
    // The session let its mailbox go: another can lock it.
    CPOP3ServerSession next(Options());
    Answer(next, "USER alice");
    if (Answer(next, "PASS secret").text != "+OK Mailbox ready\r\n")
        abort();
    return 0;
}
