#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <unistd.h>
#include <utime.h>

#include "../rules/RuleSetTestUtil.h"
#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "mail/CPOP3Login.h"
#include "mail/CPOP3ServerConnection.h"
#include "mail/CPOP3ServerSession.h"
#include "mail/CPOP3StoreMaildrop.h"
#include "mail/LockPools.h"
#include "net/CSocketFactory.h"
#include "runtime/CWorkerThreadPool.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

std::string Accepted(const std::string& user, const std::string& mailbox = "mail")
{
    return "+OK Username \"" + user + "\" accepted, accessing \"" + mailbox + "\" mailbox\r\n";
}

const std::string ALICE = Accepted("alice"), READY = "+OK Mailbox ready\r\n";
const std::string FAILED = "-ERR [AUTH] Authentication failed\r\n", IN_USE = "-ERR [IN-USE] Unable to lock mailbox\r\n";
const std::string NOT_USER = "-ERR PASS was unexpected\r\n", NO_SUCH = "-ERR No such message\r\n";
const std::string USER_PASS_ONLY = "-ERR Will only accept USER and PASS in authorization state\r\n";
const std::string MALFORMED = "-ERR Malformed message ID\r\n", UNEXPECTED = "-ERR Argument is unexpected\r\n";
const std::string REQUIRED = "-ERR Argument required\r\n", SINGLE = "-ERR Single argument required\r\n";
const std::string TLS_REQUIRED = "-ERR [AUTH] TLS required\r\n", CLOSING = "+OK Closing connection\r\n";

using CStep = std::pair<std::string, std::string>;  // a request and its reply

// Message text as written to the file and, line by line, as the client must receive it.
struct CMessageText {
    std::string file, wire;

    void Line(const std::string& text, const char* ending = "\r\n")
    {
        file += text + ending;
        wire += (text[0] == '.' ? "." : "") + text + "\r\n";
    }
    // Adds body lines until the file is exactly `size` bytes long.
    void PadTo(size_t size)
    {
        while (file.size() < size)
            size - file.size() >= 2 ? Line(std::string(std::min<size_t>(size - file.size() - 2, 100), 'x'))
                                    : Line("", "\n");
    }
};

// Message text from memory, handed out in pieces as short as the reader asks.
class CStringReader : public CPOP3MessageReader {
public:
    explicit CStringReader(std::string text) : m_Text(std::move(text)) {}
    uint32_t Read(char* buffer, uint32_t length) override
    {
        const size_t count = std::min<size_t>(length, m_Text.size() - m_Position);
        m_Text.copy(buffer, count, m_Position);
        m_Position += count;
        return static_cast<uint32_t>(count);
    }

private:
    std::string m_Text;
    size_t m_Position = 0;
};

CPOP3SessionOptions Options(bool tlsOffered = false, bool tlsRequired = false)
{
    CPOP3SessionOptions options;
    options.implementation = "Nerra Mail Filter";
    options.tlsOffered = tlsOffered;
    options.tlsRequired = tlsRequired;
    return options;
}

// AUTH PLAIN responses in Base64: "\0alice\0secret", and the same with an authorization identity.
const std::string PLAIN = "AGFsaWNlAHNlY3JldA==", AS_ITSELF = "YWxpY2UAYWxpY2UAc2VjcmV0";

class POP3ServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        CConfig::Instance().SetValue("mail-directory", m_Dir.Path());
        CConfig::Instance().SetValue("product-name", "Nerra Mail Filter");
        CConfig::Instance().SetValue("version", "1.4 test");
        UserPool().Clear();
        AddUser("alice", "<authentication handler=\"plaintext\" password=\"secret\"/>");
    }
    void TearDown() override { UserPool().Clear(); }

    void AddUser(const std::string& name, const std::string& pop3Server)
    {
        std::filesystem::create_directories(m_Dir / (name + "/mail"));
        WriteFile(m_Dir / (name + "/user.xml"), "<user><pop3-server>" + pop3Server + "</pop3-server></user>");
    }

    // A message in alice's "mail", last written `age` seconds after a fixed moment.
    std::string AddMessage(const std::string& name, const std::string& content, time_t age = 0)
    {
        const std::string path = m_Dir / ("alice/mail/" + name);
        WriteFile(path, content);
        const utimbuf times{1126000000 + age, 1126000000 + age};
        utime(path.c_str(), &times);
        return path;
    }

    // The whole reply to a line as the client gets it, a login checked at once and a
    // message sent whole.
    static std::string Answer(CPOP3ServerSession& session, const std::string& line)
    {
        CPOP3Reply reply = session.Request(line);
        if (reply.action == CPOP3Reply::actCHECK_LOGIN)
            reply = session.FinishLogin(CheckPOP3Login(session.GetCredentials(), "127.0.0.1", 100));
        std::string text = reply.text;
        if (reply.message)
            while (reply.message->Encode(text)) {
            }
        return text;
    }

    std::unique_ptr<CPOP3ServerSession> LogIn()
    {
        auto session = std::make_unique<CPOP3ServerSession>(Options());
        Answer(*session, "USER alice");
        EXPECT_EQ(Answer(*session, "PASS secret"), READY);
        return session;
    }

    static void ExpectDialogue(CPOP3ServerSession& session, const std::vector<CStep>& steps)
    {
        for (const CStep& step : steps)
            EXPECT_EQ(Answer(session, step.first), step.second) << step.first;
    }

    // Every byte sent after the reply for the content served as the only message of the mailbox.
    std::string Serve(const std::string& content, const std::string& command)
    {
        AddMessage("m.msg", content);
        auto session = LogIn();
        const std::string text = Answer(*session, command);
        EXPECT_EQ(text.substr(0, 4), "+OK ");
        return text.substr(text.find("\r\n") + 2);
    }

    TempDir m_Dir;
};

TEST_F(POP3ServerTest, RequestsInAuthorizationState)
{
    const std::string a32(32, 'a'), a33(33, 'a'), badName = "-ERR Malformed username\r\n";
    const std::vector<CStep> table = {
        {"", USER_PASS_ONLY}, {" \t ", USER_PASS_ONLY}, {"STAT", USER_PASS_ONLY}, {"UIDL", USER_PASS_ONLY},
        {"STLS", USER_PASS_ONLY}, {"USER", REQUIRED}, {"USER alice bob", SINGLE}, {"USER alice/", badName},
        {"USER alice/spam/x", badName}, {"USER al-ice", badName}, {"USER " + a33, badName}, {"USER a/" + a33, badName},
        {"USER " + a32, Accepted(a32)}, {"user alice", ALICE}, {"  UsEr\talice/spam \r", Accepted("alice", "spam")},
        {"PASS secret", NOT_USER}, {"AUTH", "+OK Mechanisms follow\r\nPLAIN\r\n.\r\n"},
        {"AUTH LOGIN", "-ERR Unsupported authentication mechanism\r\n"}, {"quit now please", CLOSING}};
    for (const CStep& step : table)
        EXPECT_EQ(Answer(*std::make_unique<CPOP3ServerSession>(Options()), step.first), step.second) << step.first;
}

TEST_F(POP3ServerTest, LoginStateRules)
{
    AddUser("carol", "");                                      // no POP3 password: no login
    std::filesystem::create_directories(m_Dir / "dave/mail");  // no user configuration
    CPOP3ServerSession session(Options());
    Quietly([&] {
        ExpectDialogue(session, {
            // A second USER is refused and forgets the first.
            {"USER alice", ALICE}, {"USER bob", "-ERR USER was unexpected\r\n"}, {"PASS secret", NOT_USER},
            // Errors of PASS and other commands forget the user too; CAPA does not.
            {"USER alice", ALICE}, {"PASS", REQUIRED}, {"PASS secret", NOT_USER},
            {"USER alice", ALICE}, {"PASS " + std::string(33, 'p'), "-ERR Malformed password\r\n"},
            {"USER alice", ALICE}, {"PASS pass\x01", "-ERR Malformed password\r\n"},
            {"USER alice", ALICE}, {"STAT", USER_PASS_ONLY}, {"PASS secret", NOT_USER},
            {"USER carol", Accepted("carol")}, {"PASS x", FAILED}, {"USER dave", Accepted("dave")}, {"PASS x", FAILED},
            {"USER alice/nosuchbox", Accepted("alice", "nosuchbox")},
            {"PASS secret", "-ERR [SYS/PERM] Unable to lock mailbox\r\n"},
            // A wrong password allows USER again.
            {"USER alice", ALICE}, {"PASS Secret", FAILED}, {"PASS secret", NOT_USER}, {"USER alice", ALICE},
            {"CAPA x", UNEXPECTED}, {"PASS secret", READY},
            {"USER alice", "-ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP in transaction "
                           "state\r\n"}});
    });
    // The mailbox is held until the session ends.
    CPOP3ServerSession second(Options());
    Answer(second, "USER alice");
    Quietly([&] { EXPECT_EQ(Answer(second, "PASS secret"), IN_USE); });
    EXPECT_EQ(Answer(session, "QUIT"), CLOSING);
    ExpectDialogue(second, {{"USER alice", ALICE}, {"PASS secret", READY}});
}

TEST_F(POP3ServerTest, CapabilitiesFollowStateAndTls)
{
    const std::string head = "+OK Capability list follows\r\nTOP\r\nUIDL\r\n";
    const std::string tail = "PIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\nIMPLEMENTATION Nerra Mail Filter\r\n.\r\n";
    CPOP3ServerSession plain(Options()), offered(Options(true)), required(Options(true, true));
    EXPECT_EQ(Answer(plain, "CAPA"), head + "USER\r\nSASL PLAIN\r\n" + tail);
    EXPECT_EQ(Answer(offered, "capa"), head + "USER\r\nSASL PLAIN\r\nSTLS\r\n" + tail);
    // Before TLS a client that must use it is offered no way to send a password.
    EXPECT_EQ(Answer(required, "CAPA"), head + "STLS\r\n" + tail);
    ExpectDialogue(required, {{"USER alice", TLS_REQUIRED}, {"PASS secret", TLS_REQUIRED},
                              {"AUTH PLAIN " + PLAIN, TLS_REQUIRED},
                              {"STLS x", UNEXPECTED}, {"STLS", "+OK Begin TLS negotiation\r\n"},
                              {"STLS", "-ERR TLS is already active\r\n"}, {"CAPA", head + "USER\r\nSASL PLAIN\r\n" + tail},
                              {"USER alice", ALICE}, {"PASS secret", READY}, {"CAPA", head + tail}});
}

TEST_F(POP3ServerTest, AuthPlain)
{
    std::filesystem::create_directories(m_Dir / "alice/spam");
    const std::string malformed = "-ERR Malformed authentication response\r\n";
    const std::vector<CStep> table[] = {
        {{"AUTH PLAIN " + PLAIN, READY}},
        {{"auth plain", "+ \r\n"}, {AS_ITSELF, READY}},
        {{"AUTH PLAIN AGFsaWNlL3NwYW0Ac2VjcmV0", READY}},  // "\0alice/spam\0secret"
        {{"AUTH PLAIN", "+ \r\n"}, {"*", "-ERR Authentication cancelled\r\n"}, {"AUTH PLAIN " + PLAIN, READY}},
        {{"AUTH PLAIN Ym9iAGFsaWNlAHNlY3JldA==", FAILED}},  // "bob\0alice\0secret"
        {{"AUTH PLAIN AGFsaWNlAHdyb25n", FAILED}},          // "\0alice\0wrong"
        {{"AUTH PLAIN =", malformed}, {"AUTH PLAIN !!!!", malformed}},
        {{"AUTH PLAIN YWxpY2Ugc2VjcmV0", malformed}},  // "alice secret"
        {{"AUTH PLAIN a b", "-ERR At most two arguments required\r\n"}},
    };
    for (const auto& steps : table) {
        CPOP3ServerSession session(Options());
        Quietly([&] { ExpectDialogue(session, steps); });
        Answer(session, "QUIT");
    }
    // The response on a line of its own never reaches the log.
    CPOP3ServerSession session(Options());
    Answer(session, "AUTH PLAIN");
    EXPECT_EQ(session.LoggableRequest(PLAIN), "****");
    EXPECT_EQ(CPOP3ServerSession(Options()).LoggableRequest(" auth plain " + PLAIN), "AUTH ****");
}

TEST_F(POP3ServerTest, RequestsInTransactionState)
{
    // Numbered oldest first, then by name; other files are no messages. Sizes are as sent:
    // z.msg ends its line in LF alone.
    AddMessage("z.msg", "A: 123\n\n", 1);
    AddMessage("b.msg", "A: " + std::string(13, 'b') + "\r\n\r\n", 5);
    AddMessage("a.msg", "A: " + std::string(23, 'a') + "\r\n\r\n", 5);
    AddMessage("notes.txt", "not a message");
    ExpectDialogue(*LogIn(), {
        {"LIST", "+OK 3 message(s), 60 octet(s)\r\n1 10\r\n2 30\r\n3 20\r\n.\r\n"},
        {"UIDL", "+OK Unique-ID listing follows\r\n1 z\r\n2 a\r\n3 b\r\n.\r\n"}, {"UIDL 2", "+OK 2 a\r\n"},
        {"LIST 1", "+OK 1 10\r\n"}, {"LIST 00000003", "+OK 00000003 20\r\n"}, {"LIST 0", NO_SUCH}, {"LIST 9", NO_SUCH},
        {"LIST 99999999", NO_SUCH}, {"LIST 123456789", MALFORMED}, {"LIST 1x", MALFORMED}, {"LIST +1", MALFORMED},
        {"LIST -1", MALFORMED}, {"LIST \xd9\xa1", MALFORMED},  // an Arabic-Indic digit one
        {"LIST 1 2", SINGLE}, {"UIDL 1 2", SINGLE}, {"DELE", REQUIRED}, {"RETR 1 2", SINGLE}, {"STAT 1", UNEXPECTED},
        {"LAST x", UNEXPECTED}, {"RSET x", UNEXPECTED}, {"NOOP x", UNEXPECTED},
        {"TOP", "-ERR At least one argument required\r\n"},
        {"TOP 1 2 3", "-ERR At most two arguments required\r\n"}, {"TOP 1 x", "-ERR Malformed line count\r\n"},
        {"TOP 1 12345678901", "-ERR Malformed line count\r\n"},
        // Only numbers that name a message count as accessed; a deleted one is out of reach.
        {"LAST", "+OK 3\r\n"}, {"DELE 2", "+OK Message deleted\r\n"}, {"RETR 2", NO_SUCH}, {"TOP 2 0", NO_SUCH},
        {"DELE 2", NO_SUCH}, {"UIDL 2", NO_SUCH}, {"UIDL", "+OK Unique-ID listing follows\r\n1 z\r\n3 b\r\n.\r\n"},
        {"STAT", "+OK 2 30\r\n"}, {"RSET", "+OK Mailbox reset\r\n"}, {"STAT", "+OK 3 60\r\n"},
        {"RETR 1", "+OK 10 octet(s)\r\nA: 123\r\n\r\n.\r\n"},
        {"TOP 1 0", "+OK Message header up to and including the trailing CRLF\r\nA: 123\r\n\r\n.\r\n"},
        {"TOP 3 9999999999", "+OK Message header followed by the trailing CRLF and at most 4294967295 body line(s)\r\n"
                             "A: bbbbbbbbbbbbb\r\n\r\n.\r\n"}});
}

TEST_F(POP3ServerTest, UniqueIdsStayWithinTheirAlphabet)
{
    EXPECT_EQ(CPOP3StoreMaildrop::UniqueId("20260101-0000-00000000.msg"), "20260101-0000-00000000");
    for (const std::string& name : {std::string(71, 'n') + ".msg", std::string("with space.msg"), std::string(".msg"),
                                   std::string("caf\xc3\xa9.msg")}) {
        const std::string uid = CPOP3StoreMaildrop::UniqueId(name);
        EXPECT_TRUE(uid.size() <= 70 && MatchesWhole(uid, boost::regex("[!-~]+"))) << uid;
    }
    EXPECT_NE(CPOP3StoreMaildrop::UniqueId("a b.msg"), CPOP3StoreMaildrop::UniqueId("a  b.msg"));
}

TEST_F(POP3ServerTest, QuitRemovesDeletedMessagesBeforeItsReply)
{
    const std::string first = AddMessage("1.msg", "A: 1\r\n", 1), second = AddMessage("2.msg", "A: 2\r\n", 2);
    auto dropped = LogIn();
    ExpectDialogue(*dropped, {{"DELE 1", "+OK Message deleted\r\n"}});
    dropped.reset();  // a dropped connection deletes nothing
    EXPECT_TRUE(std::filesystem::exists(first));
    auto session = LogIn();
    ExpectDialogue(*session, {{"DELE 2", "+OK Message deleted\r\n"}, {"QUIT", CLOSING}});
    EXPECT_FALSE(std::filesystem::exists(second));
    EXPECT_FALSE(std::filesystem::exists(m_Dir / "alice/mail/.lock"));
    // A file that cannot be removed makes QUIT fail, and the mailbox is let go all the same.
    auto blocked = LogIn();
    std::filesystem::remove(first);
    std::filesystem::create_directory(first);
    Quietly([&] {
        ExpectDialogue(*blocked, {{"DELE 1", "+OK Message deleted\r\n"},
                                  {"QUIT", "-ERR [SYS/PERM] Some deleted messages were not removed\r\n"}});
    });
    std::filesystem::remove(first);
    LogIn();
}

// A mailbox is listed from memory while it holds the same files: a message added, replaced
// by a link or removed shows at the next login.
TEST_F(POP3ServerTest, ListingFollowsTheMailbox)
{
    AddMessage("1.msg", "A: 1\r\n\r\n", 1);
    ExpectDialogue(*LogIn(), {{"STAT", "+OK 1 8\r\n"}});
    const std::string second = AddMessage("2.msg", "A: 22\n\n", 2);
    ExpectDialogue(*LogIn(), {{"STAT", "+OK 2 17\r\n"}, {"UIDL 2", "+OK 2 2\r\n"}});
    std::filesystem::remove(second);
    std::filesystem::create_symlink(m_Dir / "alice/mail/1.msg", second);
    Quietly([&] { ExpectDialogue(*LogIn(), {{"STAT", "+OK 1 8\r\n"}}); });
    std::filesystem::remove(second);
    std::filesystem::remove(m_Dir / "alice/mail/1.msg");
    ExpectDialogue(*LogIn(), {{"STAT", "+OK 0 0\r\n"}});
}

TEST_F(POP3ServerTest, MessageText)
{
    const struct {
        std::string file, command, sent;
    } table[] = {
        {"A: 1\nB: 2\n\nb1\n\nb2\n", "RETR 1", "A: 1\r\nB: 2\r\n\r\nb1\r\n\r\nb2\r\n.\r\n"},
        {".A: 1\r\n\r\n.\r\n..\r\n.x\r\n x.\r\n", "RETR 1", "..A: 1\r\n\r\n..\r\n...\r\n..x\r\n x.\r\n.\r\n"},
        {"A: x\ry\r\n\r\nb\rc\r\n\r\r\n", "RETR 1", "A: x\ry\r\n\r\nb\rc\r\n\r\r\n.\r\n"},
        {"A: 1\r\n\r\nlast", "RETR 1", "A: 1\r\n\r\nlast\r\n.\r\n"},
        {"A: 1\r\n\r\nx\r", "RETR 1", "A: 1\r\n\r\nx\r\r\n.\r\n"},
        // A file without an empty line is all header.
        {"A: 1\r\nB: 2\r\n", "RETR 1", "A: 1\r\nB: 2\r\n\r\n.\r\n"},
        {"A: 1", "RETR 1", "A: 1\r\n\r\n.\r\n"},
        {"", "RETR 1", "\r\n.\r\n"},
        {"A: 1\r\n\r\nb1\r\nb2\r\n", "TOP 1 0", "A: 1\r\n\r\n.\r\n"},
        {"A: 1\r\n\r\nb1\r\n", "TOP 1", "A: 1\r\n\r\n.\r\n"},
        {"A: 1\r\n\r\n.b1\r\nb2\r\n", "TOP 1 1", "A: 1\r\n\r\n..b1\r\n.\r\n"},
        {"A: 1\n\n\n\nb3\nb4\n", "TOP 1 3", "A: 1\r\n\r\n\r\n\r\nb3\r\n.\r\n"},
        {"A: 1\r\n\r\nb1", "TOP 1 9999999999", "A: 1\r\n\r\nb1\r\n.\r\n"}};
    for (const auto& row : table) {
        const std::string sent = Serve(row.file, row.command);
        EXPECT_EQ(sent, row.sent) << row.file;
        // What LIST says is what RETR sends, dots added for the client aside.
        if (row.command == "RETR 1") {
            size_t stuffed = 0;
            for (size_t at = sent.find("\n.."); at != std::string::npos; at = sent.find("\n..", at + 1))
                ++stuffed;
            stuffed += sent.compare(0, 2, "..") == 0;
            EXPECT_EQ(CPOP3MessageEncoder::WireSize(std::make_unique<CStringReader>(row.file)),
                      sent.size() - 3 - stuffed)
                << row.file;
        }
    }
}

TEST_F(POP3ServerTest, LinesAcrossReads)
{
    const size_t READ = 65536;
    const std::function<void(CMessageText&)> table[] = {
        [&](CMessageText& m) { m.PadTo(READ - 6); m.Line(".split between two reads"); },
        [&](CMessageText& m) { m.PadTo(READ - 9); m.Line(".CR ends"); m.Line(".LF starts the next read"); },
        [&](CMessageText& m) { m.PadTo(READ - 4); m.Line("abc\rdef (a lone CR ends the read)", "\n"); },
        [&](CMessageText& m) { m.PadTo(READ - 3); m.Line("ab", "\n"); m.Line("", "\n"); },
        [&](CMessageText& m) { m.PadTo(READ); m.Line(".first of the second read"); },
        [&](CMessageText& m) { m.Line("." + std::string(3 * READ, 'L')); m.Line(std::string(READ, 'M'), "\n"); },
    };
    for (const auto& build : table) {
        CMessageText message{"Subject: long\r\n\r\n", "Subject: long\r\n\r\n"};
        build(message);
        message.Line("tail", "\n");
        EXPECT_TRUE(Serve(message.file, "RETR 1") == message.wire + ".\r\n");
    }
}

// Over loopback, a connection with its login threads. Requests sent together are answered
// together; and to a client that reads only while the session waits, a large message fills
// the socket, and the session must then wait for room, never while it has room to send.
TEST_F(POP3ServerTest, ConnectionOverASocket)
{
    CMessageText big{"Subject: big\r\n\r\n", "Subject: big\r\n\r\n"};
    big.PadTo(5 * 1024 * 1024);
    AddMessage("short.msg", "A: 1\r\n", 1);
    AddMessage("big.msg", big.file, 2);
    const std::string expected = "+OK Nerra Mail Filter 1.4 test\r\n" + ALICE + READY +
                                 "+OK 8 octet(s)\r\nA: 1\r\n\r\n.\r\n+OK 1 short\r\n+OK " +
                                 std::to_string(big.file.size()) + " octet(s)\r\n" + big.wire + ".\r\n" + CLOSING;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const CInternetAddress loopback(std::string("127.0.0.1"));
    CServerSocketFactory listener(loopback, CInternetPort(std::string("0")));
    CClientSocketFactory connector(loopback, listener.GetBoundPort());
    std::shared_ptr<CConnectedSocket> client, server;
    while (!(client || connector.Connect(client)) || !listener.Connect(server))
        ASSERT_TRUE(std::chrono::steady_clock::now() < deadline);
    StartPOP3LoginThreads(1);
    std::string received;
    int stalls = 0;
    {
        CPOP3ServerConnection session(server, CPOP3ServerSettings());
        const std::string requests = "USER alice\r\nPASS secret\r\nRETR 1\r\nUIDL 1\r\nRETR 2\r\nQUIT\r\n";
        client->Send(requests.data(), static_cast<uint32_t>(requests.size()));
        client->Send(nullptr, 0);
        for (bool going = true; going || received.size() < expected.size();) {
            ASSERT_TRUE(std::chrono::steady_clock::now() < deadline) << received.size();
            bool idle = !going;  // once the session has finished, the client only reads
            if (going)
                going = session.Process(idle);
            int descriptor = -1;
            short events = 0;
            if (going && idle && session.GetPollRequest(descriptor, events))
                stalls += events == POLLOUT;
            char buffer[8192];
            if (idle)
                received.append(buffer, client->Recv(buffer, sizeof buffer, xferUPTO, nullptr));
        }
    }
    StopPOP3LoginThreads();
    EXPECT_GT(stalls, 0);
    EXPECT_TRUE(received == expected);
}

}  // namespace
