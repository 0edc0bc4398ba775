#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <utime.h>

#include "../rules/RuleSetTestUtil.h"
#include "core/CConfig.h"
#include "mail/CPOP3ServerConnection.h"
#include "mail/LockPools.h"
#include "net/CSocketFactory.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

std::string Accepted(const std::string& user, const std::string& mailbox = "mail")
{
    return "+OK Username \"" + user + "\" accepted, accessing \"" + mailbox + "\" mailbox\r\n";
}

const std::string ALICE = Accepted("alice"), READY = "+OK Mailbox ready\r\n", FAILED = "-ERR Authentication failed\r\n";
const std::string NOT_USER = "-ERR PASS was unexpected\r\n", NO_SUCH = "-ERR No such message\r\n";
const std::string USER_PASS_ONLY = "-ERR Will only accept USER and PASS in authorization state\r\n";
const std::string MALFORMED = "-ERR Malformed message ID\r\n", UNEXPECTED = "-ERR Argument is unexpected\r\n";
const std::string REQUIRED = "-ERR Argument required\r\n", SINGLE = "-ERR Single argument required\r\n";

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
    void AddMessage(const std::string& name, const std::string& content, time_t age = 0)
    {
        const std::string path = m_Dir / ("alice/mail/" + name);
        WriteFile(path, content);
        const utimbuf times{1126000000 + age, 1126000000 + age};
        utime(path.c_str(), &times);
    }

    std::unique_ptr<CPOP3ServerConnection> LogIn()
    {
        auto session = std::make_unique<CPOP3ServerConnection>("127.0.0.1");
        session->ProcessClientRequest("USER alice");
        EXPECT_EQ(session->ProcessClientRequest("PASS secret"), READY);
        return session;
    }

    static void ExpectDialogue(CPOP3ServerConnection& session, const std::vector<CStep>& steps)
    {
        for (const CStep& step : steps)
            EXPECT_EQ(session.ProcessClientRequest(step.first), step.second) << step.first;
    }

    // Every byte sent after the reply for the content served as the only message of the mailbox.
    std::string Serve(const std::string& content, const std::string& command)
    {
        AddMessage("m.msg", content);
        auto session = LogIn();
        EXPECT_EQ(session->ProcessClientRequest(command).substr(0, 4), "+OK ");
        std::string sent;
        while (session->ProcessServerResponseFile(sent)) {
        }
        return sent;
    }

    TempDir m_Dir;
};

TEST_F(POP3ServerTest, RequestsInAuthorizationState)
{
    const std::string a32(32, 'a'), a33(33, 'a'), badName = "-ERR Malformed username\r\n";
    const std::vector<CStep> table = {
        {"", USER_PASS_ONLY}, {" \t ", USER_PASS_ONLY}, {"STAT", USER_PASS_ONLY}, {"USER", REQUIRED},
        {"USER alice bob", SINGLE}, {"USER alice/", badName}, {"USER alice/spam/x", badName}, {"USER al-ice", badName},
        {"USER " + a33, badName}, {"USER a/" + a33, badName}, {"USER " + a32, Accepted(a32)}, {"user alice", ALICE},
        {"  UsEr\talice/spam \r", Accepted("alice", "spam")}, {"PASS secret", NOT_USER},
        {"quit now please", "+OK Closing connection\r\n"}};
    for (const CStep& step : table)
        EXPECT_EQ(CPOP3ServerConnection("127.0.0.1").ProcessClientRequest(step.first), step.second) << step.first;
}

TEST_F(POP3ServerTest, LoginStateRules)
{
    AddUser("carol", "");                                      // no POP3 password: no login
    std::filesystem::create_directories(m_Dir / "dave/mail");  // no user configuration
    CPOP3ServerConnection session("127.0.0.1");
    Quietly([&] {
        ExpectDialogue(session, {
            // A second USER is refused and forgets the first.
            {"USER alice", ALICE}, {"USER bob", "-ERR USER was unexpected\r\n"}, {"PASS secret", NOT_USER},
            // Errors of PASS and other commands forget the user too.
            {"USER alice", ALICE}, {"PASS", REQUIRED}, {"PASS secret", NOT_USER},
            {"USER alice", ALICE}, {"PASS " + std::string(33, 'p'), "-ERR Malformed password\r\n"},
            {"USER alice", ALICE}, {"PASS pass\x01", "-ERR Malformed password\r\n"},
            {"USER alice", ALICE}, {"STAT", USER_PASS_ONLY}, {"PASS secret", NOT_USER},
            {"USER carol", Accepted("carol")}, {"PASS x", FAILED}, {"USER dave", Accepted("dave")}, {"PASS x", FAILED},
            {"USER alice/nosuchbox", Accepted("alice", "nosuchbox")},
            {"PASS secret", "-ERR Unable to lock mailbox\r\n"},
            // A wrong password allows USER again.
            {"USER alice", ALICE}, {"PASS Secret", FAILED}, {"PASS secret", NOT_USER}, {"USER alice", ALICE},
            {"PASS secret", READY},
            {"USER alice", "-ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP in transaction "
                           "state\r\n"}});
    });
}

TEST_F(POP3ServerTest, RequestsInTransactionState)
{
    // Numbered oldest first, then by name; other files are no messages.
    AddMessage("z.msg", "A: 12345\r\n", 1);
    AddMessage("b.msg", "A: " + std::string(15, 'b') + "\r\n", 5);
    AddMessage("a.msg", "A: " + std::string(25, 'a') + "\r\n", 5);
    AddMessage("notes.txt", "not a message");
    ExpectDialogue(*LogIn(), {
        {"LIST", "+OK 3 message(s), 60 octet(s)\r\n1 10\r\n2 30\r\n3 20\r\n.\r\n"},
        {"LIST 1", "+OK 1 10\r\n"}, {"LIST 00000003", "+OK 00000003 20\r\n"}, {"LIST 0", NO_SUCH}, {"LIST 9", NO_SUCH},
        {"LIST 99999999", NO_SUCH}, {"LIST 123456789", MALFORMED}, {"LIST 1x", MALFORMED}, {"LIST +1", MALFORMED},
        {"LIST -1", MALFORMED}, {"LIST \xd9\xa1", MALFORMED},  // an Arabic-Indic digit one
        {"LIST 1 2", SINGLE}, {"DELE", REQUIRED}, {"RETR 1 2", SINGLE}, {"STAT 1", UNEXPECTED}, {"LAST x", UNEXPECTED},
        {"RSET x", UNEXPECTED}, {"NOOP x", UNEXPECTED}, {"TOP", "-ERR At least one argument required\r\n"},
        {"TOP 1 2 3", "-ERR At most two arguments required\r\n"}, {"TOP 1 x", "-ERR Malformed line count\r\n"},
        {"TOP 1 12345678901", "-ERR Malformed line count\r\n"},
        // Only numbers that name a message count as accessed; a deleted one is out of reach.
        {"LAST", "+OK 3\r\n"}, {"DELE 2", "+OK Message deleted\r\n"}, {"RETR 2", NO_SUCH}, {"TOP 2 0", NO_SUCH},
        {"DELE 2", NO_SUCH}, {"STAT", "+OK 2 30\r\n"}, {"RSET", "+OK Mailbox reset\r\n"}, {"STAT", "+OK 3 60\r\n"},
        {"RETR 2", "+OK 30 octet(s)\r\n"}, {"TOP 1 0", "+OK Message header up to and including the trailing CRLF\r\n"},
        {"TOP 1 9999999999",
         "+OK Message header followed by the trailing CRLF and at most 4294967295 body line(s)\r\n"}});
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
    for (const auto& row : table)
        EXPECT_EQ(Serve(row.file, row.command), row.sent) << row.file;
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

// Over loopback, to a client that reads only while the session waits: the socket fills, and
// the session must then wait for room, and never while it has text to send and room for it.
TEST_F(POP3ServerTest, SlowClientOverASocket)
{
    CMessageText big{"Subject: big\r\n\r\n", "Subject: big\r\n\r\n"};
    big.PadTo(5 * 1024 * 1024);
    AddMessage("short.msg", "A: 1\r\n", 1);
    AddMessage("big.msg", big.file, 2);
    const std::string expected = "+OK Nerra Mail Filter 1.4 test\r\n" + ALICE + READY +
                                 "+OK 6 octet(s)\r\nA: 1\r\n\r\n.\r\n+OK " + std::to_string(big.file.size()) +
                                 " octet(s)\r\n" + big.wire + ".\r\n+OK Closing connection\r\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const CInternetAddress loopback(std::string("127.0.0.1"));
    CServerSocketFactory listener(loopback, CInternetPort(std::string("0")));
    CClientSocketFactory connector(loopback, listener.GetBoundPort());
    std::shared_ptr<CConnectedSocket> client, server;
    while (!(client || connector.Connect(client)) || !listener.Connect(server))
        ASSERT_TRUE(std::chrono::steady_clock::now() < deadline);
    CPOP3ServerConnection session(server);
    const std::string requests = "USER alice\r\nPASS secret\r\nRETR 1\r\nRETR 2\r\nQUIT\r\n";
    client->Send(requests.data(), static_cast<uint32_t>(requests.size()));
    client->Send(nullptr, 0);
    std::string received;
    std::vector<int> openSteps{0};  // per message, the steps that end with it open
    int stalls = 0;
    for (bool going = true; going || received.size() < expected.size();) {
        ASSERT_TRUE(std::chrono::steady_clock::now() < deadline) << received.size();
        bool idle = !going;  // once the session has finished, the client only reads
        if (going)
            going = session.Process(idle);
        if (going) {
            if (session.IsSendingMessage())
                ++openSteps.back();
            else if (openSteps.back() > 0)
                openSteps.push_back(0);
            int descriptor = -1;
            short events = 0;
            if (idle && session.GetPollRequest(descriptor, events)) {
                EXPECT_EQ(events, session.IsSendingMessage() || server->HasPendingOutput() ? POLLOUT : POLLIN);
                stalls += session.IsSendingMessage();
            }
        }
        char buffer[8192];
        if (idle)
            received.append(buffer, client->Recv(buffer, sizeof buffer, xferUPTO, nullptr));
    }
    EXPECT_GT(stalls, 0);
    EXPECT_TRUE(received == expected);
    // A reply, a short message and its final dot leave in one step: written apart, the
    // client's delayed acknowledgement of the first would hold back the rest.
    EXPECT_EQ(openSteps[0], 1);
}

}  // namespace
