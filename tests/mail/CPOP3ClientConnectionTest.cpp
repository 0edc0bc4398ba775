#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <poll.h>
#include <set>
#include <thread>

#include "../rules/RuleSetTestUtil.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "mail/CPOP3ClientConnection.h"
#include "mail/CPOP3ClientMessage.h"
#include "mail/CUserXML.h"
#include "mail/LockPools.h"
#include "net/CSocketFactory.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
        lines.push_back(text.substr(from, end - from));
    return lines;
}

// A POP3 mailbox as a pure function: one command in, its reply lines out. Deletions take
// effect at QUIT, as on a real server.
class CScriptedServer {
public:
    std::vector<std::string> messages;
    std::vector<std::string> commands;          // as received, without line ends
    std::map<std::string, std::string> replies;  // a command's reply in place of the real one
    std::string password = "secret";

    std::vector<std::string> Greeting() { return {Reply("", "+OK ready")}; }

    std::vector<std::string> Answer(const std::string& command)
    {
        commands.push_back(command);
        unsigned n = 0;
        if (command == "STAT")
            return {Reply(command, Format("+OK %zu %zu", messages.size(), TotalSize()))};
        if (sscanf(command.c_str(), "LIST %u", &n) == 1)
            return {Reply(command, Format("+OK %u %zu", n, messages.at(n - 1).size()))};
        if (sscanf(command.c_str(), "TOP %u 0", &n) == 1)
            return Data(command, messages.at(n - 1).substr(0, messages.at(n - 1).find("\r\n\r\n") + 4));
        if (sscanf(command.c_str(), "RETR %u", &n) == 1)
            return Data(command, messages.at(n - 1));
        if (sscanf(command.c_str(), "DELE %u", &n) == 1)
            m_Deleted.insert(n);
        if (command == "PASS " + password || command.compare(0, 5, "PASS ") != 0) {
            const std::string reply = Reply(command, "+OK");
            if (command == "QUIT" && reply == "+OK")
                Expunge();
            return {reply};
        }
        return {Reply(command, "-ERR authentication failed")};
    }

private:
    std::string Reply(const std::string& command, const std::string& normal)
    {
        auto found = replies.find(command);
        return found == replies.end() ? normal : found->second;
    }

    std::vector<std::string> Data(const std::string& command, const std::string& text)
    {
        std::vector<std::string> lines{Reply(command, "+OK")};
        if (lines[0] != "+OK")
            return lines;
        for (const std::string& line : Lines(text))
            lines.push_back(!line.empty() && line[0] == '.' ? "." + line : line);
        lines.push_back(".");
        return lines;
    }

    size_t TotalSize() const
    {
        size_t total = 0;
        for (const auto& message : messages)
            total += message.size();
        return total;
    }

    void Expunge()
    {
        std::vector<std::string> kept;
        for (size_t i = 0; i < messages.size(); ++i)
            if (!m_Deleted.count(static_cast<unsigned>(i + 1)))
                kept.push_back(messages[i]);
        messages.swap(kept);
        m_Deleted.clear();
    }

    std::set<unsigned> m_Deleted;
};

// Carries commands to the scripted server and its replies back, line by line.
class CScriptedTransport : public CPOP3ClientTransport {
public:
    CScriptedTransport(CScriptedServer& server, bool connects = true) : m_Server(server), m_Connects(connects) {}

    // The server goes away after this many more reply lines.
    int linesBeforeHangUp = -1;

    bool Connect() override
    {
        if (m_Connects)
            Deliver(m_Server.Greeting());
        return m_Connects;
    }
    void SetInactivityTimeout(int32_t) override {}
    void Send(const std::string& text) override
    {
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        Deliver(m_Server.Answer(text.substr(0, text.size() - 2)));
    }
    bool Flush() override { return true; }
    bool ReceiveLine(std::string& line) override
    {
        if (linesBeforeHangUp == 0)
            throw CMessageException("Connection closed by peer");
        if (m_Pending.empty())
            return false;
        if (linesBeforeHangUp > 0)
            --linesBeforeHangUp;
        line = m_Pending.front();
        m_Pending.pop_front();
        return true;
    }
    std::string GetPeerName() override { return "pop.example"; }
    std::string GetPeerDottedText() override { return "192.0.2.1"; }
    int GetPollDescriptor() const override { return 7; }
    bool HasPendingOutput() const override { return false; }

private:
    void Deliver(const std::vector<std::string>& lines)
    {
        m_Pending.insert(m_Pending.end(), lines.begin(), lines.end());
    }

    CScriptedServer& m_Server;
    bool m_Connects;
    std::deque<std::string> m_Pending;
};

std::string Message(const std::string& subject, const std::string& body = "body\r\n")
{
    return "From: a@example.com\r\nSubject: " + subject + "\r\n\r\n" + body;
}

class FetchTest : public RuleSetFixture {
protected:
    void SetUp() override
    {
        RuleSetFixture::SetUp();
        Quietly([] {
            RuleSetPool().Clear();
            UserPool().Clear();
        });
        for (const char* box : {".raw", "spam", "mail", "inbox"})
            std::filesystem::create_directories(m_Dir / ("alice/" + std::string(box)));
        WriteFile(m_Dir / "alice/user.xml", "<user/>");
        // Messages with a sender go to the inbox, "kill" subjects are deleted, the rest is "mail".
        WriteRules(Rule(RegexMatch("subject", "any", "kill.*"), Dispatch("&lt;delete&gt;")) +
                   Rule(RegexMatch("from", "any", ".+"), Dispatch("inbox")) + Rule(AnyMatch(), Dispatch("mail")));
        CConfig& config = CConfig::Instance();
        config.SetValue("pop3-messages-per-sync", "10");
        config.SetValue("pop3-messages-per-session", "100");
        config.SetValue("pop3-connection-attempt-timeout-sec", "30");
        config.SetValue("outgoing-connection-timeout-sec", "60");
        m_User = std::make_shared<CUserXML>("alice");
    }

    void TearDown() override
    {
        Quietly([] {
            RuleSetPool().Clear();
            UserPool().Clear();
        });
    }

    // Both passes run at once, as if the sequential pool were idle and instant.
    std::unique_ptr<CPOP3ClientConnection> Connect(CScriptedTransport* transport = nullptr)
    {
        if (!transport)
            transport = new CScriptedTransport(m_Server);
        m_Transport = transport;
        return std::make_unique<CPOP3ClientConnection>(
            "pop.example", "110", "bob", "secret", "alice", m_User, std::unique_ptr<CPOP3ClientTransport>(transport),
            [](const std::shared_ptr<CPOP3ClientMessage>& message) { message->Process(); });
    }

    // Steps the connection until it finishes; the failure text, or empty when it ended well.
    static std::string Run(CPOP3ClientConnection& connection)
    {
        std::string failure;
        Quietly([&] {
            try {
                for (int step = 0; step < 1000000; ++step) {
                    bool idle = false;
                    if (!connection.Process(idle))
                        return;
                }
                failure = "(never finished)";
            } catch (const std::exception& e) {
                failure = e.what();
            }
        });
        return failure;
    }

    // Fetches with a fresh connection, which is gone when this returns.
    std::string Fetch() { return Run(*Connect()); }

    std::vector<std::string> Mailbox(const std::string& name)
    {
        std::vector<std::string> texts;
        const auto files = CFile::EnumerateFiles(m_Dir / ("alice/" + name), "*");
        for (const auto& file : *files)
            texts.push_back(ReadFile(file.path));
        return texts;
    }

    static std::string WithoutTraceLine(const std::string& text) { return text.substr(text.find("\r\n") + 2); }

    std::vector<std::string> Commands(const std::string& prefix)
    {
        std::vector<std::string> found;
        for (const auto& command : m_Server.commands)
            if (command.compare(0, prefix.size(), prefix) == 0)
                found.push_back(command);
        return found;
    }

    CScriptedServer m_Server;
    CScriptedTransport* m_Transport = nullptr;
    std::shared_ptr<CUserXML> m_User;
};

std::vector<std::string> Group(unsigned first, unsigned last)
{
    std::vector<std::string> commands;
    for (unsigned i = first; i <= last; ++i) {
        commands.push_back(Format("LIST %u", i));
        commands.push_back(Format("TOP %u 0", i));
    }
    commands.push_back("NOOP");
    for (unsigned i = first; i <= last; ++i) {
        commands.push_back(Format("RETR %u", i));
        commands.push_back(Format("DELE %u", i));
    }
    return commands;
}

std::vector<std::string> Dialogue(const std::vector<std::vector<std::string>>& groups)
{
    std::vector<std::string> commands{"USER bob", "PASS secret", "STAT"};
    for (const auto& group : groups)
        commands.insert(commands.end(), group.begin(), group.end());
    commands.push_back("QUIT");
    return commands;
}

}  // namespace

TEST_F(FetchTest, EmptyMailboxGetsLoginStatAndQuitOnly)
{
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(m_Server.commands, Dialogue({}));
}

TEST_F(FetchTest, SessionLimitAndSyncGroups)
{
    for (int i = 1; i <= 25; ++i)
        m_Server.messages.push_back(Message(Format("message %d", i)));
    CConfig::Instance().SetValue("pop3-messages-per-session", "20");
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(m_Server.commands, Dialogue({Group(1, 10), Group(11, 20)}));
    ASSERT_EQ(m_Server.messages.size(), 5u);
    EXPECT_EQ(m_Server.messages.front(), Message("message 21"));
    EXPECT_EQ(Mailbox("inbox").size(), 20u);
    EXPECT_TRUE(Mailbox(".raw").empty());
}

TEST_F(FetchTest, LastGroupIsClosedByItsOwnNoop)
{
    for (int i = 1; i <= 7; ++i)
        m_Server.messages.push_back(Message(Format("message %d", i)));
    CConfig::Instance().SetValue("pop3-messages-per-sync", "5");
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(m_Server.commands, Dialogue({Group(1, 5), Group(6, 7)}));
    EXPECT_TRUE(m_Server.messages.empty());
}

TEST_F(FetchTest, MessagesPerSyncBelowOneIsRefused)
{
    for (const char* value : {"0", "-3", "none"}) {
        CConfig::Instance().SetValue("pop3-messages-per-sync", value);
        std::string failure = "(accepted)";
        Quietly([&] {
            try {
                Connect();
            } catch (const std::exception& e) {
                failure = e.what();
            }
        });
        EXPECT_EQ(failure, Format("Invalid value of pop3-messages-per-sync: '%s', must be at least 1", value));
    }
}

TEST_F(FetchTest, StoredMessageIsTraceLineThenTheOriginalText)
{
    const std::string text = Message("dots", "..leading dot\r\n.\r\nnot the end\r\n\r\n.x\r\nlast\r\n");
    m_Server.messages = {text};
    EXPECT_EQ(Fetch(), "");
    const auto inbox = Mailbox("inbox");
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(WithoutTraceLine(inbox[0]), text);
    EXPECT_TRUE(MatchesWhole(inbox[0].substr(0, inbox[0].find("\r\n") + 2),
                             boost::regex("Received: from pop\\.example \\(\\[192\\.0\\.2\\.1\\]\\) by \\S+; "
                                          "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] [A-Z][a-z]{2} 20[0-9]{2} "
                                          "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [-+][0-9]{4}\r\n")))
        << inbox[0];
    EXPECT_TRUE(Mailbox(".raw").empty());
}

TEST_F(FetchTest, TraceLineCarriesTheStandardZoneOffset)
{
    const char* saved = getenv("TZ");
    const std::string previous = saved ? saved : "";
    // POSIX zone texts count hours west of UTC; daylight saving never shows.
    const std::pair<const char*, const char*> zones[] = {{"PST8PDT", "-0800"}, {"IST-5:30", "+0530"}};
    for (const auto& [zone, offset] : zones) {
        setenv("TZ", zone, 1);
        tzset();
        m_Server.messages = {Message(zone)};
        EXPECT_EQ(Fetch(), "");
        const auto inbox = Mailbox("inbox");
        ASSERT_EQ(inbox.size(), 1u);
        EXPECT_EQ(inbox[0].substr(inbox[0].find("\r\n") - 5, 5), offset) << zone;
        std::filesystem::remove_all(m_Dir / "alice/inbox");
        std::filesystem::create_directories(m_Dir / "alice/inbox");
    }
    if (saved)
        setenv("TZ", previous.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(FetchTest, OverlongLinesAreCutTo65534Characters)
{
    const std::string text = Message("long", std::string(70000, 'x') + "\r\n" + std::string(65534, 'y') + "\r\n");
    m_Server.messages = {text};
    EXPECT_EQ(Fetch(), "");
    const auto inbox = Mailbox("inbox");
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(WithoutTraceLine(inbox[0]),
              Message("long", std::string(65534, 'x') + "\r\n" + std::string(65534, 'y') + "\r\n"));
}

TEST_F(FetchTest, DeleteVerdictOnTheHeaderDeletesWithoutDownloading)
{
    m_Server.messages = {Message("keep 1"), Message("kill me"), Message("keep 3")};
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(m_Server.commands,
              Dialogue({{"LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0", "LIST 3", "TOP 3 0", "NOOP", "RETR 1", "DELE 1",
                         "DELE 2", "RETR 3", "DELE 3"}}));
    EXPECT_TRUE(m_Server.messages.empty());
    EXPECT_EQ(Mailbox("inbox").size(), 2u);
    EXPECT_TRUE(Mailbox(".raw").empty());
}

TEST_F(FetchTest, HeaderOf65536OctetsOrMoreReachesTheRulesEmpty)
{
    // The sender sends the message to the inbox, if only the rules can see it.
    auto bigHeader = [](size_t size) {
        std::string header = "From: a@example.com\r\n";
        while (header.size() < size)
            header += "X-Pad: " + std::string(991, 'p') + "\r\n";
        return header + "\r\n";
    };
    const std::string seen = bigHeader(60000) + "body\r\n";
    const std::string unseen = bigHeader(65536) + "body\r\n";
    m_Server.messages = {seen, unseen};
    EXPECT_EQ(Fetch(), "");
    const auto inbox = Mailbox("inbox"), mail = Mailbox("mail");
    ASSERT_EQ(inbox.size(), 1u);
    ASSERT_EQ(mail.size(), 1u);
    EXPECT_EQ(WithoutTraceLine(inbox[0]), seen);
    EXPECT_EQ(WithoutTraceLine(mail[0]), unseen);
}

TEST_F(FetchTest, MalformedStatRepliesEndTheConnection)
{
    m_Server.messages = {Message("one")};
    const std::pair<const char*, const char*> cases[] = {
        {"+OK", ""},     {"+OK abc 10", "abc"}, {"+OK -1 10", "-1"}, {"+OK 12345678901 10", "12345678901"},
        {"+OK 1x", "1x"}};
    for (const auto& [reply, count] : cases) {
        m_Server.replies["STAT"] = reply;
        EXPECT_EQ(Fetch(), Format("POP3 server at pop.example:110 for user bob when asked 'STAT' replied with '+OK %s "
                                  "...', terminating connection abnormally",
                                  count));
    }
    EXPECT_EQ(m_Server.messages.size(), 1u);
}

TEST_F(FetchTest, MalformedOrMismatchedListRepliesEndTheConnection)
{
    m_Server.messages = {Message("one"), Message("two")};
    const std::pair<const char*, const char*> cases[] = {
        {"+OK 2 40", "2 40"}, {"+OK 1", "1 "}, {"+OK 1 big", "1 big"}, {"+OK 01x 40", "01x 40"}, {"+OK", " "}};
    for (const auto& [reply, tokens] : cases) {
        m_Server.replies["LIST 1"] = reply;
        EXPECT_EQ(Fetch(), Format("POP3 server at pop.example:110 for user bob when asked 'LIST 1' replied with "
                                  "'+OK %s ...', terminating connection abnormally",
                                  tokens));
    }
    // Leading zeros still name the same message.
    m_Server.replies["LIST 1"] = "+OK 0001 40";
    EXPECT_EQ(Fetch(), "");
    EXPECT_TRUE(m_Server.messages.empty());
}

TEST_F(FetchTest, ErrorReplyAtAnyStepEndsTheConnectionAndLosesNothing)
{
    const std::string text = Message("only");
    for (const char* step : {"", "USER bob", "PASS secret", "STAT", "LIST 1", "TOP 1 0", "NOOP", "RETR 1", "DELE 1",
                             "QUIT"}) {
        std::filesystem::remove_all(m_Dir / "alice/inbox");
        std::filesystem::create_directories(m_Dir / "alice/inbox");
        m_Server = CScriptedServer();
        m_Server.messages = {text};
        m_Server.replies[step] = "-ERR no";
        const std::string shown = std::string(step) == "PASS secret" ? "PASS ********" : step;
        EXPECT_EQ(Fetch(), Format("POP3 server at pop.example:110 for user bob when asked '%s' replied with '-ERR "
                                  "no', terminating connection abnormally",
                                  shown.c_str()));
        EXPECT_EQ(m_Server.messages, std::vector<std::string>{text}) << step;
        // Filed only when the download had finished before the failure.
        const bool downloaded = std::string(step) == "DELE 1" || std::string(step) == "QUIT";
        EXPECT_EQ(Mailbox("inbox").size(), downloaded ? 1u : 0u) << step;
        EXPECT_TRUE(Mailbox(".raw").empty()) << step;
    }
}

TEST_F(FetchTest, DownloadCutShortLeavesNothingInRaw)
{
    m_Server.messages = {Message("first"), Message("second", std::string(5000, 'z') + "\r\n" + "more\r\n")};
    auto* transport = new CScriptedTransport(m_Server);
    auto connection = Connect(transport);
    // Run until the second RETR is under way, then let the server vanish.
    Quietly([&] {
        for (int step = 0; step < 10000 && Commands("RETR 2").empty(); ++step) {
            bool idle = false;
            connection->Process(idle);
        }
    });
    transport->linesBeforeHangUp = 3;
    EXPECT_EQ(Run(*connection), "Connection closed by peer");
    EXPECT_EQ(Mailbox(".raw").size(), 1u) << "the partial download is open until the connection goes";
    connection.reset();
    EXPECT_TRUE(Mailbox(".raw").empty());
    EXPECT_EQ(Mailbox("inbox").size(), 1u);
    // No QUIT went out: a real server keeps both messages.
    EXPECT_EQ(m_Server.messages.size(), 2u);
}

TEST_F(FetchTest, NoopHoldsTheDownloadsUntilTheRulesHaveDecided)
{
    m_Server.messages = {Message("one"), Message("kill two")};
    std::vector<std::shared_ptr<CPOP3ClientMessage>> waiting;
    auto* transport = new CScriptedTransport(m_Server);
    CPOP3ClientConnection connection("pop.example", "110", "bob", "secret", "alice", m_User,
                                     std::unique_ptr<CPOP3ClientTransport>(transport),
                                     [&](const std::shared_ptr<CPOP3ClientMessage>& message) {
                                         waiting.push_back(message);
                                     });
    auto step = [&] {
        bool idle = false;
        EXPECT_TRUE(connection.Process(idle));
        return idle;
    };
    for (int i = 0; i < 1000 && m_Server.commands.size() < 8; ++i)
        step();
    ASSERT_EQ(m_Server.commands.back(), "NOOP");
    ASSERT_EQ(waiting.size(), 2u);
    // Waiting for the rule set: idle, with nothing to poll, and nothing is sent.
    step();
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(step());
    int descriptor = -1;
    short events = 0;
    EXPECT_FALSE(connection.GetPollRequest(descriptor, events));
    Quietly([&] { waiting[0]->Process(); });
    for (int i = 0; i < 10; ++i)
        step();
    EXPECT_EQ(m_Server.commands.back(), "NOOP");
    Quietly([&] { waiting[1]->Process(); });
    // The pool still holds the units: the downloads wait until it lets go of them.
    for (int i = 0; i < 10; ++i)
        step();
    EXPECT_EQ(m_Server.commands.back(), "NOOP");
    waiting.clear();
    for (int i = 0; i < 1000 && m_Server.commands.back() != "DELE 2"; ++i)
        Quietly(step);
    EXPECT_EQ(Commands("RETR"), std::vector<std::string>{"RETR 1"});
    EXPECT_EQ(waiting.size(), 1u) << "the downloaded message goes on to its second pass";
}

TEST_F(FetchTest, IdleWhileWaitingForTheServerPollsItsSocket)
{
    auto connection = Connect();
    bool idle = false;
    EXPECT_TRUE(connection->Process(idle));  // connected, greeting pending
    EXPECT_FALSE(idle);
    int descriptor = -1;
    short events = 0;
    ASSERT_TRUE(connection->GetPollRequest(descriptor, events));
    EXPECT_EQ(descriptor, 7);
    EXPECT_EQ(events, POLLIN);
}

TEST_F(FetchTest, ServerThatNeverAnswersIsGivenUpSilentlyAtTheDeadline)
{
    CConfig::Instance().SetValue("pop3-connection-attempt-timeout-sec", "30");
    auto pending = Connect(new CScriptedTransport(m_Server, false));
    bool idle = false;
    EXPECT_TRUE(pending->Process(idle));
    EXPECT_TRUE(idle);
    CConfig::Instance().SetValue("pop3-connection-attempt-timeout-sec", "0");
    auto late = Connect(new CScriptedTransport(m_Server, false));
    std::string log = Quietly([&] { EXPECT_FALSE(late->Process(idle)); });
    EXPECT_EQ(log, "");
    EXPECT_TRUE(m_Server.commands.empty());
}

// The real transport over loopback: lines end in CR LF or LF, and a line far beyond any
// buffer is cut instead of failing the connection.
TEST(POP3ClientSocketTransport, SplitsLinesAndCutsHugeOnes)
{
    auto server = std::make_shared<CServerSocketFactory>(CInternetAddress(std::string("127.0.0.1")),
                                                         CInternetPort(std::string("0"), CInternetPort::tcp),
                                                         CInternetAddress(std::string("0.0.0.0")),
                                                         CInternetPort(std::string("0"), CInternetPort::tcp));
    CPOP3ClientSocketTransport transport("127.0.0.1", server->GetBoundPort().GetDecimalText());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto waitFor = [&](auto condition) {
        for (;;) {
            if (condition())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::shared_ptr<CConnectedSocket> peer;
    ASSERT_TRUE(waitFor([&] { return transport.Connect(); }));
    ASSERT_TRUE(waitFor([&] { return server->Connect(peer); }));

    const std::string huge(3 * 1024 * 1024, 'h');
    std::string outgoing = "+OK one\r\nplain LF\n" + huge + "\r\nlone\rCR\r\n";
    std::vector<std::string> lines;
    size_t sent = 0;
    ASSERT_TRUE(waitFor([&] {
        if (sent < outgoing.size()) {
            const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(65536, outgoing.size() - sent));
            peer->Send(outgoing.data() + sent, chunk);
            peer->Send(nullptr, 0);
            sent += chunk;
        } else {
            peer->Send(nullptr, 0);
        }
        std::string line;
        while (transport.ReceiveLine(line))
            lines.push_back(line);
        return lines.size() == 4;
    }));
    EXPECT_EQ(lines[0], "+OK one");
    EXPECT_EQ(lines[1], "plain LF");
    EXPECT_EQ(lines[2], huge.substr(0, 65536));
    EXPECT_EQ(lines[3], "lone\rCR");
    EXPECT_EQ(transport.GetPeerDottedText(), "127.0.0.1");
}
