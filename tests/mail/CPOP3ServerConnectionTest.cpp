#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <utime.h>

#include "TestUtil.h"
#include "core/CConfig.h"
#include "mail/CPOP3ServerConnection.h"
#include "mail/LockPools.h"
#include "net/CSocketFactory.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

const std::string ALICE = "+OK Username \"alice\" accepted, accessing \"mail\" mailbox\r\n";
const std::string READY = "+OK Mailbox ready\r\n";
const std::string FAILED = "-ERR Authentication failed\r\n";
const std::string NOT_USER = "-ERR PASS was unexpected\r\n";
const std::string USER_PASS_ONLY = "-ERR Will only accept USER and PASS in authorization state\r\n";
const std::string NO_SUCH = "-ERR No such message\r\n";
const std::string MALFORMED = "-ERR Malformed message ID\r\n";
const std::string TOP0 = "+OK Message header up to and including the trailing CRLF\r\n";

struct CStep {
    std::string request, reply;
};

std::string CapturedLog(const std::function<void()>& action)
{
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

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

    // A message of alice's, last written `age` seconds after a fixed moment.
    void AddMessage(const std::string& mailbox, const std::string& name, const std::string& content, time_t age = 0)
    {
        std::filesystem::create_directories(m_Dir / ("alice/" + mailbox));
        const std::string path = m_Dir / ("alice/" + mailbox + "/" + name);
        WriteFile(path, content);
        const utimbuf times{1126000000 + age, 1126000000 + age};
        utime(path.c_str(), &times);
    }

    // Three messages of 10, 20 and 30 bytes, numbered by age and not by name.
    void AddThreeMessages()
    {
        for (int i : {1, 2, 3})
            AddMessage("mail", std::string(1, static_cast<char>('d' - i)) + ".msg", "A: " + std::string(10 * i - 5, 'a') + "\r\n", i);
    }

    std::unique_ptr<CPOP3ServerConnection> LogIn(const std::string& user = "alice")
    {
        auto session = std::make_unique<CPOP3ServerConnection>("127.0.0.1");
        session->ProcessClientRequest("USER " + user);
        EXPECT_EQ(session->ProcessClientRequest("PASS secret"), READY);
        return session;
    }

    void ExpectDialogue(CPOP3ServerConnection& session, const std::vector<CStep>& steps)
    {
        for (const CStep& step : steps)
            EXPECT_EQ(session.ProcessClientRequest(step.request), step.reply) << step.request;
    }

    // The reply and every byte sent for the content served as the only message of a mailbox.
    std::string Serve(const std::string& content, const std::string& command)
    {
        const std::string mailbox = "box" + std::to_string(++m_Boxes);
        AddMessage(mailbox, "m.msg", content);
        auto session = LogIn("alice/" + mailbox);
        std::string sent = session->ProcessClientRequest(command);
        while (session->ProcessServerResponseFile(sent)) {
        }
        return sent;
    }

    TempDir m_Dir;
    int m_Boxes = 0;
};

TEST_F(POP3ServerTest, RequestsInAuthorizationState)
{
    const std::vector<CStep> table = {
        {"", USER_PASS_ONLY},
        {" \t ", USER_PASS_ONLY},
        {"STAT", USER_PASS_ONLY},
        {"USER", "-ERR Argument required\r\n"},
        {"USER alice bob", "-ERR Single argument required\r\n"},
        {"USER alice/", "-ERR Malformed username\r\n"},
        {"USER alice/spam/x", "-ERR Malformed username\r\n"},
        {"USER al-ice", "-ERR Malformed username\r\n"},
        {"USER " + std::string(33, 'a'), "-ERR Malformed username\r\n"},
        {"USER a/" + std::string(33, 'a'), "-ERR Malformed username\r\n"},
        {"USER " + std::string(32, 'a'), "+OK Username \"" + std::string(32, 'a') + "\" accepted, accessing \"mail\" mailbox\r\n"},
        {"user alice", ALICE},
        {"  UsEr\talice/spam \r", "+OK Username \"alice\" accepted, accessing \"spam\" mailbox\r\n"},
        {"PASS secret", NOT_USER},
        {"quit now please", "+OK Closing connection\r\n"},
    };
    for (const CStep& step : table) {
        CPOP3ServerConnection session("127.0.0.1");
        EXPECT_EQ(session.ProcessClientRequest(step.request), step.reply) << step.request;
    }
}

TEST_F(POP3ServerTest, LoginStateRules)
{
    CPOP3ServerConnection session("127.0.0.1");
    CapturedLog([&] {
        ExpectDialogue(session, {// A second USER is refused and forgets the first.
                                 {"USER alice", ALICE}, {"USER bob", "-ERR USER was unexpected\r\n"}, {"PASS secret", NOT_USER},
                                 // Argument errors of PASS and other commands forget the user too.
                                 {"USER alice", ALICE}, {"PASS", "-ERR Argument required\r\n"}, {"PASS secret", NOT_USER},
                                 {"USER alice", ALICE}, {"PASS a b", "-ERR Single argument required\r\n"},
                                 {"USER alice", ALICE}, {"PASS " + std::string(33, 'p'), "-ERR Malformed password\r\n"},
                                 {"USER alice", ALICE}, {"PASS pass\x01", "-ERR Malformed password\r\n"},
                                 {"USER alice", ALICE}, {"STAT", USER_PASS_ONLY}, {"PASS secret", NOT_USER},
                                 // A wrong password (letter case counts) allows USER again.
                                 {"USER alice", ALICE}, {"PASS Secret", FAILED}, {"PASS secret", NOT_USER},
                                 {"USER alice", ALICE}, {"PASS secret", READY},
                                 {"USER alice", "-ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP "
                                                "in transaction state\r\n"}});
    });
}

TEST_F(POP3ServerTest, AccountsAndTheirFailures)
{
    AddUser("bob", "<authentication handler=\"hash\" method=\"sha1\" salt=\"NaCl\" "
                   "hash=\"D937F13950EC208212E47BA499F35BB4FC523048\"/>");
    AddUser("carol", "");
    std::filesystem::create_directories(m_Dir / "dave/mail");
    const struct {
        std::string user, password, reply, warning;
    } table[] = {
        {"bob", "s3cret", READY, ""},
        {"bob", "S3cret", FAILED, "WARNING CPOP3ServerConnection::AuthenticateLockMailBox(): authentication failed for "
                                  "user bob from 127.0.0.1"},
        {"carol", "x", FAILED, "authentication failed for user carol from 127.0.0.1"},
        {"dave", "x", FAILED, "WARNING CPOP3ServerConnection::AuthenticateLockMailBox('dave'): failed to access user "
                              "configuration file, ignoring error and returning auth failure"},
        {"alice/nosuchbox", "secret", "-ERR Unable to lock mailbox\r\n",
         "WARNING CPOP3ServerConnection::AuthenticateLockMailBox(): user alice authenticated from 127.0.0.1 but the "
         "mailbox was busy"},
    };
    for (const auto& row : table) {
        CPOP3ServerConnection session("127.0.0.1");
        std::string reply;
        const std::string log = CapturedLog([&] {
            session.ProcessClientRequest("USER " + row.user);
            reply = session.ProcessClientRequest("PASS " + row.password);
        });
        EXPECT_EQ(reply, row.reply) << row.user;
        EXPECT_NE(log.find(row.warning), std::string::npos) << log;
    }
}

TEST_F(POP3ServerTest, ArgumentRulesInTransactionState)
{
    AddThreeMessages();
    const std::string unexpected = "-ERR Argument is unexpected\r\n";
    ExpectDialogue(*LogIn(), {{"LIST 003", "+OK 003 30\r\n"},
                              {"LIST 1 2", "-ERR Single argument required\r\n"},
                              {"DELE", "-ERR Argument required\r\n"},
                              {"RETR 1 2", "-ERR Single argument required\r\n"},
                              {"TOP", "-ERR At least one argument required\r\n"},
                              {"TOP 1 2 3", "-ERR At most two arguments required\r\n"},
                              {"TOP 1 x", "-ERR Malformed line count\r\n"},
                              {"TOP 1 12345678901", "-ERR Malformed line count\r\n"},
                              {"STAT 1", unexpected},
                              {"LAST x", unexpected},
                              {"RSET x", unexpected},
                              {"NOOP x", unexpected}});
}

TEST_F(POP3ServerTest, MessageNumbers)
{
    AddThreeMessages();
    auto session = LogIn();
    const std::vector<CStep> table = {
        {"1", "+OK 1 10\r\n"}, {"00000003", "+OK 00000003 30\r\n"}, {"0", NO_SUCH}, {"9", NO_SUCH},
        {"99999999", NO_SUCH}, {"123456789", MALFORMED},             {"1x", MALFORMED}, {"+1", MALFORMED},
        {"-1", MALFORMED},     {"\xd9\xa1", MALFORMED},  // an Arabic-Indic digit one
    };
    for (const CStep& step : table)
        EXPECT_EQ(session->ProcessClientRequest("LIST " + step.request), step.reply) << step.request;
    // Only numbers that name a message count as accessed; a deleted one stays out of reach.
    ExpectDialogue(*session, {{"LAST", "+OK 3\r\n"},
                              {"DELE 2", "+OK Message deleted\r\n"},
                              {"RETR 2", NO_SUCH},
                              {"TOP 2 0", NO_SUCH},
                              {"DELE 2", NO_SUCH}});
}

TEST_F(POP3ServerTest, MessagesAreNumberedOldestFirstThenByName)
{
    AddMessage("mail", "b.msg", "A: 2\r\n", 5);
    AddMessage("mail", "z.msg", "A: 1\r\n", 1);
    AddMessage("mail", "a.msg", "A: 33\r\n", 5);
    AddMessage("mail", "c.msg", "A: 4444\r\n", 5);
    AddMessage("mail", "notes.txt", "not a message");
    EXPECT_EQ(LogIn()->ProcessClientRequest("LIST"),
              "+OK 4 message(s), 28 octet(s)\r\n1 6\r\n2 7\r\n3 6\r\n4 9\r\n.\r\n");
}

TEST_F(POP3ServerTest, MessageText)
{
    const std::string retr = "";  // stands for the RETR reply with the file's size
    const struct {
        std::string file, command, reply, sent;
    } table[] = {
        {"A: 1\r\n\r\nbody\r\n", "RETR 1", retr, "A: 1\r\n\r\nbody\r\n.\r\n"},
        {"A: 1\nB: 2\n\nb1\n\nb2\n", "RETR 1", retr, "A: 1\r\nB: 2\r\n\r\nb1\r\n\r\nb2\r\n.\r\n"},
        {".A: 1\r\n\r\n.\r\n..\r\n.x\r\n x.\r\n", "RETR 1", retr, "..A: 1\r\n\r\n..\r\n...\r\n..x\r\n x.\r\n.\r\n"},
        {"A: x\ry\r\n\r\nb\rc\r\n\r\r\n", "RETR 1", retr, "A: x\ry\r\n\r\nb\rc\r\n\r\r\n.\r\n"},
        {"A: 1\r\n\r\nlast", "RETR 1", retr, "A: 1\r\n\r\nlast\r\n.\r\n"},
        {"A: 1\r\n\r\nx\r", "RETR 1", retr, "A: 1\r\n\r\nx\r\r\n.\r\n"},
        {"A: 1\r\nB: 2\r\n", "RETR 1", retr, "A: 1\r\nB: 2\r\n\r\n.\r\n"},
        {"A: 1\r\nB: 2\r\n", "TOP 1 0", TOP0, "A: 1\r\nB: 2\r\n\r\n.\r\n"},
        {"A: 1", "RETR 1", retr, "A: 1\r\n\r\n.\r\n"},
        {"", "RETR 1", retr, "\r\n.\r\n"},
        {"A: 1\r\n\r\nb1\r\nb2\r\n", "TOP 1 0", TOP0, "A: 1\r\n\r\n.\r\n"},
        {"A: 1\r\n\r\nb1\r\n", "TOP 1", TOP0, "A: 1\r\n\r\n.\r\n"},
        {"A: 1\r\n\r\n.b1\r\nb2\r\n", "TOP 1 1",
         "+OK Message header followed by the trailing CRLF and at most 1 body line(s)\r\n", "A: 1\r\n\r\n..b1\r\n.\r\n"},
        {"A: 1\n\n\n\nb3\nb4\n", "TOP 1 3",
         "+OK Message header followed by the trailing CRLF and at most 3 body line(s)\r\n", "A: 1\r\n\r\n\r\n\r\nb3\r\n.\r\n"},
        {"A: 1\r\n\r\nb1", "TOP 1 9999999999",
         "+OK Message header followed by the trailing CRLF and at most 4294967295 body line(s)\r\n", "A: 1\r\n\r\nb1\r\n.\r\n"},
    };
    for (const auto& row : table) {
        const std::string reply = row.reply.empty() ? "+OK " + std::to_string(row.file.size()) + " octet(s)\r\n" : row.reply;
        EXPECT_EQ(Serve(row.file, row.command), reply + row.sent) << row.file;
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
        CMessageText message;
        message.Line("Subject: long");
        message.Line("");
        build(message);
        message.Line("tail", "\n");
        EXPECT_TRUE(Serve(message.file, "RETR 1") ==
                    "+OK " + std::to_string(message.file.size()) + " octet(s)\r\n" + message.wire + ".\r\n");
    }
}

template <class Condition>
bool Within(int seconds, Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    }
    return true;
}

// A served session on one end of a loopback connection; the test holds the other end.
struct CSocketSession {
    std::shared_ptr<CConnectedSocket> client, server;
    std::unique_ptr<CPOP3ServerConnection> session;

    explicit CSocketSession(const std::string& requests)
    {
        const CInternetAddress loopback(std::string("127.0.0.1"));
        const CInternetPort any(std::string("0"), CInternetPort::tcp);
        CServerSocketFactory listener(loopback, any, CInternetAddress(std::string("0.0.0.0")), any);
        CClientSocketFactory connector(loopback, any, loopback, listener.GetBoundPort());
        EXPECT_TRUE(Within(10, [&] { return client || connector.Connect(client); }));
        EXPECT_TRUE(Within(10, [&] { return listener.Connect(server); }));
        session = std::make_unique<CPOP3ServerConnection>(server);
        client->Send(requests.data(), static_cast<uint32_t>(requests.size()));
        client->Send(nullptr, 0);
    }
};

TEST_F(POP3ServerTest, SocketSessionWaitsOnTheRightEvent)
{
    CMessageText message;
    message.Line("Subject: big");
    message.Line("");
    message.PadTo(5 * 1024 * 1024);
    AddMessage("mail", "big.msg", message.file);
    CSocketSession pair("");
    CPOP3ServerConnection& session = *pair.session;
    EXPECT_EQ(session.GetName().find("CPOP3ServerConnection(127.0.0.1, 0x"), 0u) << session.GetName();

    // Waiting for a request, the session asks for input.
    bool idle = false;
    ASSERT_TRUE(Within(10, [&] { return session.Process(idle) && idle; }));
    int descriptor = -1;
    short events = 0;
    ASSERT_TRUE(session.GetPollRequest(descriptor, events));
    EXPECT_EQ(descriptor, pair.server->GetPollDescriptor());
    EXPECT_EQ(events, POLLIN);

    // The client reads slowly, so the socket fills: the session must then wait for room, and
    // never wait while it has message text to send and room to send it.
    const std::string requests = "USER alice\r\nPASS secret\r\nRETR 1\r\nQUIT\r\n";
    pair.client->Send(requests.data(), static_cast<uint32_t>(requests.size()));
    pair.client->Send(nullptr, 0);
    std::string received;
    int stalls = 0;
    ASSERT_TRUE(Within(60, [&] {
        idle = false;
        if (!session.Process(idle))
            return true;
        if (idle) {
            EXPECT_TRUE(session.GetPollRequest(descriptor, events));
            if (session.IsSendingMessage()) {
                EXPECT_EQ(events, POLLOUT);
                ++stalls;
            }
            char buffer[8192];
            received.append(buffer, pair.client->Recv(buffer, sizeof buffer, xferUPTO, nullptr));
        }
        return false;
    }));
    EXPECT_GT(stalls, 0);
    pair.session.reset();
    pair.server.reset();
    ASSERT_TRUE(Within(10, [&] {
        char buffer[65536];
        try {
            received.append(buffer, pair.client->Recv(buffer, sizeof buffer, xferUPTO, nullptr));
            return false;
        } catch (const std::exception&) {
            return true;  // the server end has closed
        }
    }));
    EXPECT_TRUE(received == "+OK Nerra Mail Filter 1.4 test\r\n" + ALICE + READY + "+OK " +
                                std::to_string(message.file.size()) + " octet(s)\r\n" + message.wire +
                                ".\r\n+OK Closing connection\r\n");
}

// A reply, a short message and its final dot leave in one write: written apart, the
// client's delayed acknowledgement of the first would hold back the rest.
TEST_F(POP3ServerTest, ShortMessageLeavesInOneStep)
{
    AddThreeMessages();
    CSocketSession pair("USER alice\r\nPASS secret\r\nRETR 2\r\nRETR 3\r\nQUIT\r\n");
    int stepsWithMessageOpen = 0;
    ASSERT_TRUE(Within(30, [&] {
        bool idle = false;
        const bool finished = !pair.session->Process(idle);
        stepsWithMessageOpen += pair.session->IsSendingMessage() ? 1 : 0;
        return finished;
    }));
    EXPECT_EQ(stepsWithMessageOpen, 2);
}

}  // namespace
