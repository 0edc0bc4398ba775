#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <poll.h>
#include <set>
#include <sstream>
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

// A POP3 mailbox; deletions take effect at QUIT, as on a real server.
struct CMailbox {
    std::vector<std::string> messages;
    std::vector<std::string> uids;  // listed by UIDL when there are as many as messages
    // What CAPA lists; without any, CAPA is unknown ("-ERR").
    std::vector<std::string> capabilities{"TOP", "PIPELINING"};
    std::vector<std::string> commands;                        // as received, without line ends
    std::vector<std::string> early;  // those sent before the client had read every earlier reply
    std::map<std::string, std::vector<std::string>> replies;  // a command's whole reply in place of the real one
    std::set<unsigned> deleted;
    bool answers = true;
};

// Answers each command at once, so a line the client waits for that is not there yet will
// never come: the server has hung up.
class CScriptedTransport : public CPOP3ClientTransport {
public:
    explicit CScriptedTransport(CMailbox& box) : m_Box(box) {}

    bool Connect() override
    {
        if (m_Box.answers)
            Deliver("", {"+OK ready"});
        return m_Box.answers;
    }
    void Send(const std::string& text) override
    {
        const std::string command = text.substr(0, text.size() - 2);
        m_Box.commands.push_back(command);
        if (!m_Pending.empty())
            m_Box.early.push_back(command);
        unsigned n = 0;
        std::vector<std::string> reply{"+OK"};
        if (command == "CAPA") {
            reply = m_Box.capabilities.empty() ? std::vector<std::string>{"-ERR unknown command"}
                                               : m_Box.capabilities;
            if (!m_Box.capabilities.empty()) {
                reply.insert(reply.begin(), "+OK");
                reply.push_back(".");
            }
        } else if (command == "UIDL") {
            reply = {m_Box.uids.size() == m_Box.messages.size() ? "+OK" : "-ERR unknown command"};
            for (size_t i = 0; reply[0] == "+OK" && i < m_Box.uids.size(); ++i)
                reply.push_back(Format("%zu %s", i + 1, m_Box.uids[i].c_str()));
            if (reply[0] == "+OK")
                reply.push_back(".");
        } else if (command == "STAT")
            reply = {Format("+OK %zu 4096", m_Box.messages.size())};  // the client reads only the count
        else if (sscanf(command.c_str(), "LIST %u", &n) == 1)
            reply = {Format("+OK %u %zu", n, m_Box.messages.at(n - 1).size())};
        else if (sscanf(command.c_str(), "TOP %u 0", &n) == 1 || sscanf(command.c_str(), "RETR %u", &n) == 1) {
            const std::string& message = m_Box.messages.at(n - 1);
            // Dot-stuffed; TOP sends the header and the empty line after it.
            std::istringstream text(command[0] == 'R' ? message : message.substr(0, message.find("\r\n\r\n") + 4));
            for (std::string line; std::getline(text, line);)
                reply.push_back((line[0] == '.' ? "." : "") + line.substr(0, line.size() - 1));
            reply.push_back(".");
        } else if (sscanf(command.c_str(), "DELE %u", &n) == 1)
            m_Box.deleted.insert(n);
        Deliver(command, reply);
    }
    bool ReceiveLine(std::string& line) override
    {
        if (m_Pending.empty())
            throw CMessageException("Connection closed by peer");
        line = m_Pending.front();
        m_Pending.pop_front();
        return true;
    }
    void SetInactivityTimeout(int32_t) override {}
    bool Flush() override { return true; }
    std::string GetPeerName() override { return "pop.example"; }
    std::string GetPeerDottedText() override { return "192.0.2.1"; }
    bool GetPollRequest(int& descriptor, short& events) const override
    {
        descriptor = 7;
        events = POLLIN;
        return true;
    }

private:
    void Deliver(const std::string& command, std::vector<std::string> lines)
    {
        if (m_Box.replies.count(command))
            lines = m_Box.replies[command];
        else if (command == "QUIT")
            for (auto n = m_Box.deleted.rbegin(); n != m_Box.deleted.rend(); ++n) {
                m_Box.messages.erase(m_Box.messages.begin() + *n - 1);
                if (m_Box.uids.size() >= *n)
                    m_Box.uids.erase(m_Box.uids.begin() + *n - 1);
            }
        m_Pending.insert(m_Pending.end(), lines.begin(), lines.end());
    }

    CMailbox& m_Box;
    std::deque<std::string> m_Pending;
};

std::string Message(const std::string& subject)
{
    return "From: a@example.com\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
}

// How a connection fails whose server answered `asked` with `reply`.
std::string Refused(const std::string& asked, const std::string& reply)
{
    return "POP3 server at pop.example:110 for user bob when asked '" + asked + "' replied with '" + reply +
           "', terminating connection abnormally";
}

// The commands of a fetch whose messages go in the given groups, each closed by a NOOP.
std::vector<std::string> Dialogue(const std::vector<std::pair<unsigned, unsigned>>& groups)
{
    std::vector<std::string> commands{"CAPA", "USER bob", "PASS secret", "STAT"};
    for (const auto& [first, last] : groups) {
        for (unsigned i = first; i <= last; ++i)
            commands.insert(commands.end(), {Format("LIST %u", i), Format("TOP %u 0", i)});
        commands.push_back("NOOP");
        for (unsigned i = first; i <= last; ++i)
            commands.push_back(Format("RETR %u", i));
        for (unsigned i = first; i <= last; ++i)
            commands.push_back(Format("DELE %u", i));
    }
    commands.push_back("QUIT");
    return commands;
}

class FetchTest : public RuleSetFixture {
protected:
    void SetUp() override
    {
        RuleSetFixture::SetUp();
        TearDown();  // nothing pooled from an earlier test
        WriteFile(m_Dir / "alice/user.xml", "<user/>");
        // Messages with a sender go to the inbox, "kill" subjects are deleted, the rest is "mail".
        WriteRules(Rule(RegexMatch("subject", "any", "kill.*"), Dispatch("&lt;delete&gt;")) +
                   Rule(RegexMatch("from", "any", ".+"), Dispatch("inbox")) + Rule(AnyMatch(), Dispatch("mail")));
        CConfig::Instance().SetValue("pop3-messages-per-sync", "10");
        CConfig::Instance().SetValue("pop3-messages-per-session", "100");
        CConfig::Instance().SetValue("pop3-connection-attempt-timeout-sec", "30");
        CConfig::Instance().SetValue("outgoing-connection-timeout-sec", "60");
    }
    void TearDown() override { Quietly([] { RuleSetPool().Clear(); UserPool().Clear(); }); }

    // A fresh server holding `messages`, and empty local mailboxes.
    void Reset(const std::vector<std::string>& messages)
    {
        m_Box = CMailbox();
        m_Box.messages = messages;
        for (const std::string box : {".raw", "mail", "inbox"}) {
            std::filesystem::remove_all(m_Dir / ("alice/" + box));
            std::filesystem::create_directories(m_Dir / ("alice/" + box));
        }
    }

    // By default both passes run at once, as if the sequential pool were idle and instant.
    static void ProcessAtOnce(const std::shared_ptr<CPOP3ClientMessage>& message) { message->Process(); }
    std::unique_ptr<CPOP3ClientConnection> Connect(CPOP3ClientConnection::CMessageSink sink = ProcessAtOnce)
    {
        return std::make_unique<CPOP3ClientConnection>(m_Account, "alice", std::make_shared<CUserXML>("alice"),
                                                       std::make_unique<CScriptedTransport>(m_Box), sink);
    }

    // Fetches with a fresh connection, gone when this returns; the failure text, or empty.
    std::string Fetch()
    {
        std::string failure = "(never finished)";
        Quietly([&] {
            try {
                auto connection = Connect();
                for (int step = 0; step < 1000000; ++step)
                    if (bool idle = false; !connection->Process(idle))
                        return failure.clear();
            } catch (const std::exception& e) {
                failure = e.what();
            }
        });
        return failure;
    }

    std::vector<std::string> Mailbox(const std::string& name)
    {
        std::vector<std::string> texts;
        const auto files = CFile::ListFiles(m_Dir / ("alice/" + name), "*");
        for (const auto& file : files)
            texts.push_back(ReadFile(file.path));
        return texts;
    }

    CMailbox m_Box;
    CRemoteAccount m_Account = [] {
        CRemoteAccount account;
        account.host = "pop.example";
        account.port = "110";
        account.user = "bob";
        account.password = "secret";
        return account;
    }();
};

}  // namespace

TEST_F(FetchTest, MessagesGoInGroupsWithinTheSessionLimit)
{
    const struct {
        unsigned messages, fetched;
        const char *perSync, *perSession;
        std::vector<std::pair<unsigned, unsigned>> groups;
    } cases[] = {
        {25, 20, "10", "20", {{1, 10}, {11, 20}}}, {7, 7, "5", "100", {{1, 5}, {6, 7}}}, {0, 0, "10", "100", {}}};
    for (const auto& c : cases) {
        std::vector<std::string> messages;
        for (unsigned i = 1; i <= c.messages; ++i)
            messages.push_back(Message(Format("message %u", i)));
        Reset(messages);
        CConfig::Instance().SetValue("pop3-messages-per-sync", c.perSync);
        CConfig::Instance().SetValue("pop3-messages-per-session", c.perSession);
        EXPECT_EQ(Fetch(), "");
        EXPECT_EQ(m_Box.commands, Dialogue(c.groups)) << c.messages;
        EXPECT_EQ(m_Box.messages, std::vector<std::string>(messages.begin() + c.fetched, messages.end()));
        EXPECT_EQ(Mailbox("inbox").size(), c.fetched);
        EXPECT_TRUE(Mailbox(".raw").empty());
    }
}

TEST_F(FetchTest, MessagesPerSyncBelowOneIsRefused)
{
    for (const char* value : {"0", "-3", "none"}) {
        CConfig::Instance().SetValue("pop3-messages-per-sync", value);
        EXPECT_EQ(Fetch(),
                  Format("Invalid value of pop3-messages-per-sync: '%s', must be a whole number from 1 to 1000000", value));
    }
}

TEST_F(FetchTest, StoredTextAndTheHeaderTheRulesSee)
{
    // A sender sends a message to the inbox, if only the rules can see its header.
    auto header = [](int pads) {
        std::string text = "From: a@example.com\r\n";
        for (int i = 0; i < pads; ++i)
            text += "X-Pad: " + std::string(991, 'p') + "\r\n";
        return text + "\r\n..leading dot\r\n.\r\nnot the end\r\n\r\n.x\r\n" + std::string(65534, 'y') + "\r\n";
    };
    const std::string seen = header(60) + std::string(70000, 'x') + "\r\n", unseen = header(66);
    const std::string stored = header(60) + std::string(65534, 'x') + "\r\n";  // long lines cut
    const std::string previous = getenv("TZ") ? getenv("TZ") : "";
    // POSIX zone texts count hours west of UTC. Daylight saving, here all year, never shows.
    for (const auto& [zone, offset] : {std::pair<const char*, const char*>{"WST8WDT,0/0,J365/25", "-0800"},
                                       {"EST-5:30EDT,0/0,J365/25", "+0530"}}) {
        setenv("TZ", zone, 1);
        tzset();
        Reset({seen, unseen});
        EXPECT_EQ(Fetch(), "");
        const auto inbox = Mailbox("inbox"), mail = Mailbox("mail");
        ASSERT_EQ(inbox.size(), 1u);
        EXPECT_EQ(mail.size(), 1u);
        const size_t traced = inbox[0].find("\r\n") + 2;
        EXPECT_TRUE(MatchesWhole(inbox[0].substr(0, traced),
                                 boost::regex("Received: from pop\\.example \\(\\[192\\.0\\.2\\.1\\]\\) by \\S+; "
                                              "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] [A-Z][a-z]{2} 20[0-9]{2} "
                                              "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] \\" + std::string(offset) + "\r\n")));
        EXPECT_TRUE(inbox[0].substr(traced) == stored);
    }
    previous.empty() ? unsetenv("TZ") : setenv("TZ", previous.c_str(), 1);
    tzset();
}

TEST_F(FetchTest, MalformedStatOrListReplyEndsTheConnection)
{
    const struct {
        const char *command, *reply, *shown;  // shown: the tokens the failure quotes; null for none
    } cases[] = {
        {"STAT", "+OK", ""}, {"STAT", "+OK abc 10", "abc"}, {"STAT", "+OK -1 10", "-1"}, {"STAT", "+OK 1x", "1x"},
        {"STAT", "+OK 12345678901 10", "12345678901"}, {"LIST 1", "+OK 1", "1 "}, {"LIST 1", "+OK", " "},
        {"LIST 1", "+OK 1 big", "1 big"}, {"LIST 1", "+OK 01x 40", "01x 40"}, {"LIST 1", "+OK 2 40", "2 40"},
        {"LIST 1", "+OK 0001 40", nullptr}};  // leading zeros name the same message
    for (const auto& c : cases) {
        Reset({Message("one"), Message("two")});
        m_Box.replies[c.command] = {c.reply};
        EXPECT_EQ(Fetch(), c.shown ? Refused(c.command, "+OK " + std::string(c.shown) + " ...") : "");
        EXPECT_EQ(m_Box.messages.size(), c.shown ? 2u : 0u) << c.reply;
    }
}

TEST_F(FetchTest, ErrorOrHangUpAtAnyStepEndsTheConnectionAndLosesNothing)
{
    const std::string text = Message("only");
    auto check = [&](const std::string& step, const std::vector<std::string>& reply, const std::string& failure) {
        Reset({text});
        m_Box.replies[step] = reply;
        EXPECT_EQ(Fetch(), failure);
        EXPECT_EQ(m_Box.messages, std::vector<std::string>{text}) << step;
        // The text is on disk and handed on before DELE goes out, so a failed DELE leaves it filed.
        EXPECT_EQ(Mailbox("inbox").size(), step == "DELE 1" || step == "QUIT" ? 1u : 0u) << step;
        EXPECT_TRUE(Mailbox(".raw").empty()) << step;
    };
    for (const std::string step : {"", "USER bob", "PASS secret", "STAT", "LIST 1", "TOP 1 0", "NOOP", "RETR 1",
                                   "DELE 1", "QUIT"})
        check(step, {"-ERR no"}, Refused(step == "PASS secret" ? "PASS ********" : step, "-ERR no"));
    // A download cut short leaves no partial file behind.
    for (const char* step : {"TOP 1 0", "RETR 1"})
        check(step, {"+OK", "From: a@example.com"}, "Connection closed by peer");
}

TEST_F(FetchTest, DownloadsWaitUntilTheRulesHaveDecided)
{
    Reset({Message("keep 1"), Message("kill 2"), Message("keep 3")});
    std::vector<std::shared_ptr<CPOP3ClientMessage>> waiting;
    auto connection = Connect([&](const auto& message) { waiting.push_back(message); });
    auto run = [&](int steps) {  // whether the last step was idle
        bool idle = false;
        Quietly([&] {
            for (int i = 0; i < steps; ++i)
                if (idle = false; !connection->Process(idle))
                    return;
        });
        return idle;
    };
    // Waiting for the rule set: idle, polling the first pass it waits for, and nothing sent.
    EXPECT_TRUE(run(100));
    auto waitedOn = [&] {
        int descriptor = -1;
        short events = 0;
        EXPECT_TRUE(connection->GetPollRequest(descriptor, events));
        pollfd wait{descriptor, events, 0};
        EXPECT_EQ(poll(&wait, 1, 0), 0) << "the pass waited for is not done";
        return descriptor;
    };
    ASSERT_EQ(waiting.size(), 3u);
    // The pool may still hold a unit whose pass is done: its second pass is a unit of its
    // own, so the connection goes on at once.
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_Box.commands.back(), "NOOP");
        EXPECT_EQ(waitedOn(), waiting[i]->GetFirstPassPollHandle());
        Quietly([&] { waiting[i]->Process(); });
        run(i < 2 ? 10 : 1000);
    }
    // "<delete>" on the header: DELE without RETR, and the group in ascending order.
    EXPECT_EQ(m_Box.commands, (std::vector<std::string>{"CAPA", "USER bob", "PASS secret", "STAT", "LIST 1",
                                                        "TOP 1 0", "LIST 2", "TOP 2 0", "LIST 3", "TOP 3 0", "NOOP",
                                                        "RETR 1", "RETR 3", "DELE 1", "DELE 2", "DELE 3", "QUIT"}));
    EXPECT_EQ(waiting.size(), 5u) << "each downloaded message goes on to its second pass";
}

TEST_F(FetchTest, CommandsGoAheadOfRepliesOnlyWhereNothingDependsOnTheReply)
{
    Reset({Message("one"), Message("two"), Message("three")});
    CConfig::Instance().SetValue("pop3-messages-per-sync", "2");
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(m_Box.commands, Dialogue({{1, 2}, {3, 3}}));
    // A group's DELEs wait until all its texts are stored, and QUIT for every answer; its
    // RETRs travel together, and so do its LIST and TOP and its DELEs with the next group's.
    EXPECT_EQ(m_Box.early, (std::vector<std::string>{"TOP 1 0", "LIST 2", "TOP 2 0", "NOOP", "RETR 2", "DELE 2",
                                                     "LIST 3", "TOP 3 0", "NOOP"}));
}

TEST_F(FetchTest, ServerThatNeverAnswersIsGivenUpSilentlyAtTheDeadline)
{
    m_Box.answers = false;
    for (const std::string timeout : {"30", "1"}) {
        CConfig::Instance().SetValue("pop3-connection-attempt-timeout-sec", timeout);
        bool idle = false, going = false;
        EXPECT_EQ(Quietly([&] {
                      auto connection = Connect();
                      if (timeout == "1")
                          std::this_thread::sleep_for(std::chrono::milliseconds(1100));
                      going = connection->Process(idle);
                  }),
                  "");
        EXPECT_EQ(going && idle, timeout == "30");
    }
    EXPECT_TRUE(m_Box.commands.empty());
}

TEST_F(FetchTest, WithoutPipeliningOrCapaOneCommandAtATime)
{
    for (const std::vector<std::string>& capabilities : {std::vector<std::string>{"TOP", "USER"},
                                                         std::vector<std::string>{}}) {
        Reset({Message("one"), Message("two"), Message("three")});
        m_Box.capabilities = capabilities;
        CConfig::Instance().SetValue("pop3-messages-per-sync", "2");
        EXPECT_EQ(Fetch(), "");
        std::vector<std::string> expected = Dialogue({{1, 2}, {3, 3}});
        // A server that does not answer CAPA may still know UIDL: it is asked, and "-ERR" is fine.
        if (capabilities.empty())
            expected.insert(expected.begin() + 4, "UIDL");
        EXPECT_EQ(m_Box.commands, expected);
        EXPECT_TRUE(m_Box.early.empty()) << capabilities.size();
        EXPECT_EQ(Mailbox("inbox").size(), 3u);
    }
}

TEST_F(FetchTest, Utf8IsAskedForBeforeLoginWhenListed)
{
    Reset({Message("one")});
    m_Box.capabilities = {"UTF8", "PIPELINING"};
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(std::vector<std::string>(m_Box.commands.begin(), m_Box.commands.begin() + 3),
              (std::vector<std::string>{"CAPA", "UTF8", "USER bob"}));
}

TEST_F(FetchTest, SessionCutAfterItsDelesOnlyDeletesThemNextTime)
{
    Reset({Message("one"), Message("kill two"), Message("three")});
    m_Box.uids = {"u1", "u2", "u3"};
    m_Box.capabilities = {"UIDL", "PIPELINING"};
    m_Box.messages.push_back(Message("four"));
    m_Box.uids.push_back("u4");
    CConfig::Instance().SetValue("pop3-messages-per-session", "3");
    // The server hangs up instead of answering QUIT: none of the DELEs took effect.
    m_Box.replies["QUIT"] = {};
    EXPECT_EQ(Fetch(), "Connection closed by peer");
    EXPECT_EQ(m_Box.messages.size(), 4u);
    EXPECT_EQ(Mailbox("inbox").size(), 2u);
    const std::string state = m_Dir / "alice/.bob%40pop.example%3A110.uidl";
    EXPECT_EQ(ReadFile(state), "u1\nu2\nu3\n");
    m_Box.replies.clear();
    m_Box.commands.clear();
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(m_Box.commands,
              (std::vector<std::string>{"CAPA", "USER bob", "PASS secret", "STAT", "UIDL", "DELE 1", "DELE 2",
                                        "DELE 3", "LIST 4", "TOP 4 0", "NOOP", "RETR 4", "DELE 4", "QUIT"}));
    EXPECT_TRUE(m_Box.messages.empty());
    EXPECT_EQ(Mailbox("inbox").size(), 3u) << "nothing filed twice";
    EXPECT_FALSE(std::filesystem::exists(state)) << "QUIT confirmed every deletion";
}

TEST_F(FetchTest, SaslSendsTheWholeExchangeAndNeverLogsIt)
{
    m_Account.tls = CRemoteAccount::ETls::Implicit;
    const struct {
        CRemoteAccount::EAuth auth;
        std::string command, decoded;
    } cases[] = {{CRemoteAccount::EAuth::Plain, "AUTH PLAIN ", std::string("\0bob\0secret", 11)},
                 {CRemoteAccount::EAuth::XOAuth2, "AUTH XOAUTH2 ", "user=bob\x01" "auth=Bearer secret\x01\x01"}};
    for (const auto& c : cases) {
        Reset({Message("one")});
        m_Account.auth = c.auth;
        EXPECT_EQ(Fetch(), "");
        ASSERT_GE(m_Box.commands.size(), 3u);
        const std::string sent = m_Box.commands[1];
        ASSERT_EQ(sent.compare(0, c.command.size(), c.command), 0) << sent;
        EXPECT_EQ(DecodeBASE64(sent.substr(c.command.size())), c.decoded);
        EXPECT_EQ(m_Box.commands[2], "STAT");
        // A refusal: XOAUTH2 servers send their reason as a continuation and wait for an
        // empty line before "-ERR"; the log shows neither the token nor its Base64.
        Reset({Message("one")});
        m_Box.replies[sent] = {"+ eyJzdGF0dXMiOiI0MDAifQ==", "-ERR [AUTH] refused secret " + sent.substr(c.command.size())};
        EXPECT_EQ(Fetch(), Refused(c.command + "********", "-ERR [AUTH] refused ******** ********"));
        EXPECT_EQ(m_Box.commands.back(), c.auth == CRemoteAccount::EAuth::XOAuth2 ? "" : "*");
    }
}

TEST_F(FetchTest, StartTlsWithoutStlsOnOfferSendsNoPassword)
{
    m_Account.tls = CRemoteAccount::ETls::StartTls;
    Reset({Message("one")});
    EXPECT_EQ(Fetch(), "POP3 server at pop.example:110 for user bob does not offer STLS, the mailbox is not fetched");
    EXPECT_EQ(m_Box.commands, std::vector<std::string>{"CAPA"});
    // Offered, but the scripted link cannot do TLS: the switch fails, and still nothing follows.
    m_Box.capabilities = {"STLS"};
    m_Box.commands.clear();
    EXPECT_NE(Fetch(), "");
    EXPECT_EQ(m_Box.commands, (std::vector<std::string>{"CAPA", "STLS"}));
}

// The real transport over loopback: lines end in CR LF or LF, and a line far beyond any
// buffer is cut instead of failing the connection.
TEST(POP3ClientSocketTransport, SplitsLinesAndCutsHugeOnes)
{
    CServerSocketFactory server(CInternetAddress(std::string("127.0.0.1")), CInternetPort(std::string("0")));
    CPOP3ClientSocketTransport transport("127.0.0.1", server.GetBoundPort().GetDecimalText());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::shared_ptr<CConnectedSocket> peer;
    while (!transport.Connect() || !(peer || server.Connect(peer)))
        ASSERT_TRUE(std::chrono::steady_clock::now() < deadline);
    const std::string huge(3 * 1024 * 1024, 'h');
    const std::string outgoing = "+OK one\r\nplain LF\n" + huge + "\r\nlone\rCR\r\n";
    std::vector<std::string> lines;
    for (size_t sent = 0; lines.size() < 4;) {
        ASSERT_TRUE(std::chrono::steady_clock::now() < deadline);
        const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(65536, outgoing.size() - sent));
        if (chunk > 0)
            peer->Send(outgoing.data() + sent, chunk);
        peer->Send(nullptr, 0);
        sent += chunk;
        for (std::string line; transport.ReceiveLine(line);)
            lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"+OK one", "plain LF", huge.substr(0, 65536), "lone\rCR"}));
    EXPECT_EQ(transport.GetPeerDottedText(), "127.0.0.1");
}

namespace {
// The disk fault in force for the next fetch: calls of one kind on paths that end in a text.
struct CDiskFault {
    EFileCall call;
    const char* pathPart;
    int error;
} g_DiskFault;

int InjectDiskFault(EFileCall call, const std::string& path)
{
    const std::string end = g_DiskFault.pathPart;
    const bool matches = path.size() >= end.size() && path.compare(path.size() - end.size(), end.size(), end) == 0;
    return call == g_DiskFault.call && matches ? g_DiskFault.error : 0;
}
}  // namespace

TEST_F(FetchTest, AFailingDiskAtAnyStepLeavesTheMessageOnTheServerOrInRaw)
{
    const std::string text = Message("only");
    const struct {
        CDiskFault fault;
        const char* logged;
    } cases[] = {
        {{EFileCall::Write, ".part", ENOSPC}, "WriteFile() failed, GetLastError=28"},
        {{EFileCall::Sync, ".part", EIO}, "fsync("},
        {{EFileCall::Rename, ".part", EIO}, "Unable to move file"},
        {{EFileCall::Sync, "/.raw", EIO}, "Unable to flush directory"},
        // Filing: the mailbox, spam and the spool all refuse the downloaded message.
        {{EFileCall::Rename, ".msg", EIO}, "stays in"},
    };
    for (const auto& c : cases) {
        Reset({text});
        g_DiskFault = c.fault;
        SetFileFault(InjectDiskFault);
        const std::string log = Quietly([&] {
            try {
                auto connection = Connect();
                for (int step = 0; step < 1000000; ++step)
                    if (bool idle = false; !connection->Process(idle))
                        break;
            } catch (const std::exception& e) {
                CLog::Instance().Error("%s", e.what());
            }
        });
        SetFileFault(nullptr);
        const size_t onServer = m_Box.messages.size(), inRaw = Mailbox(".raw").size();
        EXPECT_EQ(onServer + inRaw, 1u) << c.logged << "\n" << log;
        EXPECT_TRUE(Mailbox("inbox").empty()) << c.logged;
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
}
