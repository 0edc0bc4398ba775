#include <gtest/gtest.h>

#include "../rules/RuleSetTestUtil.h"
#include "core/CFile.h"
#include "core/TextUtils.h"
#include "mail/CPOP3ClientMessage.h"
#include "mail/LockPools.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

const std::string HEADER = "From: a@h\r\nSubject: hello\r\n\r\n";

class MessageTest : public RuleSetFixture {
protected:
    void SetUp() override
    {
        RuleSetFixture::SetUp();
        RuleSetPool().Clear();
        for (const char* box : {".raw", "spam", "mail", "inbox"})
            std::filesystem::create_directories(m_Dir / ("alice/" + std::string(box)));
        WriteFile(m_Dir / "alice/user.xml",
                  "<user><params><param name=\"lang\" value=\"en\"/></params></user>");
        m_User = std::make_shared<CUserXML>("alice");
    }
    void TearDown() override { Quietly([] { RuleSetPool().Clear(); }); }

    std::string RawFile(const std::string& content = HEADER + "body\r\n")
    {
        const std::string path = m_Dir / "alice/.raw/20260101000000000.123.msg";
        WriteFile(path, content);
        return path;
    }

    std::shared_ptr<CPOP3ClientMessage> Spooled(const std::string& path, const std::string& header = HEADER)
    {
        auto message = std::make_shared<CPOP3ClientMessage>("alice", m_User);
        message->SetMessageSize(static_cast<uint32_t>(ReadFile(path).size()));
        message->SetMessageHeader(header);
        message->AttachMessageFile(path);
        message->SkipFirstPass();
        return message;
    }

    // The files of a mailbox directory.
    std::vector<std::string> Mailbox(const std::string& name)
    {
        std::vector<std::string> names;
        auto files = CFile::ListFiles(m_Dir / ("alice/" + name), "*.msg");
        for (const auto& file : files)
            names.push_back(file.name);
        return names;
    }

    std::shared_ptr<CUserXML> m_User;
};

}  // namespace

TEST_F(MessageTest, SpooledMessageIsFiledUnderItsIdWithTheBytesUnchanged)
{
    WriteRules(Rule(RegexMatch("subject", "any", "hello"), Dispatch("inbox")));
    const std::string content = HEADER + "body\r\n.\r\n";
    const std::string raw = RawFile(content);
    auto message = Spooled(raw);
    Quietly([&] { message->Process(); });
    ASSERT_EQ(Mailbox("inbox"), std::vector<std::string>{message->GetMessageId() + ".msg"});
    EXPECT_EQ(ReadFile(m_Dir / ("alice/inbox/" + message->GetMessageId() + ".msg")), content);
    EXPECT_FALSE(Exists(raw));
}

TEST_F(MessageTest, IdenticalHeadersGetDifferentIds)
{
    CPOP3ClientMessage a("alice", m_User), b("alice", m_User);
    a.SetMessageHeader(HEADER);
    b.SetMessageHeader(HEADER);
    EXPECT_NE(a.GetMessageId(), b.GetMessageId());
    EXPECT_NE(a.GetName(), b.GetName());
}

TEST_F(MessageTest, RulesSeeThePseudoFields)
{
    WriteRules(Rule(RegexMatch("x-nerra-user-lang", "all", "en"),
                    "<action handler=\"python\"><script>"
                    "ok = headers['x-nerra-username'] == 'alice' and int(headers['x-nerra-message-size']) &gt; 0 "
                    "and headers['x-nerra-expires-never'] == '2037-12-31 23:59:59' "
                    "and headers['x-nerra-mail-directory'] != '' and int(headers['x-nerra-random-short']) &lt; 1000\n"
                    "result = 'inbox' if ok else 'mail'</script></action>"));
    auto message = Spooled(RawFile());
    Quietly([&] { message->Process(); });
    EXPECT_EQ(message->GetDecision().GetMailbox(), "inbox");
    EXPECT_EQ(Mailbox("inbox").size(), 1u);
}

TEST_F(MessageTest, FirstPassDecidesOnTheHeaderAndTheSecondFiles)
{
    // "<contents>" asks for a second dispatch over the whole message; any other first
    // answer stands, even once the rule set says otherwise.
    for (bool contents : {false, true}) {
        WriteRules((contents ? Rule(AnyMatch(), Dispatch("&lt;contents&gt;")) : std::string()) +
                   Rule(AnyMatch(), Dispatch("inbox")));
        auto message = std::make_shared<CPOP3ClientMessage>("alice", m_User);
        message->SetMessageSize(100);
        message->SetMessageHeader(HEADER);
        message->CreateFirstPassEvent();  // what the fetch waits on before it sends the body
        EXPECT_FALSE(message->IsFirstPassDone());
        Quietly([&] { message->Process(); });
        EXPECT_TRUE(message->IsFirstPassDone());
        EXPECT_EQ(message->GetDecision().NeedsWholeMessage(), contents);
        if (!contents) {
            Quietly([] { RuleSetPool().Clear(); });
            WriteRules(Rule(AnyMatch(), Dispatch("mail")));
        }
        message->AttachMessageFile(RawFile());
        Quietly([&] { message->Process(); });
        EXPECT_EQ(message->GetDecision().GetMailbox(), "inbox");
        EXPECT_EQ(Mailbox("inbox").size(), contents ? 2u : 1u);
        EXPECT_TRUE(Mailbox("mail").empty());
    }
}

TEST_F(MessageTest, WhereTheFileEndsUp)
{
    const std::string raw = m_Dir / "alice/.raw/20260101000000000.123.msg";
    const struct {
        std::string rules, subject, box, log;  // box: the one directory left holding the file
    } cases[] = {
        {Rule(AnyMatch(), Dispatch("&lt;delete&gt;")), "hello", "", ""},
        {Rule("<match handler=\"bogus\"/>", Dispatch("inbox")), "hello", "spam", ""},
        {Rule(AnyMatch(), Dispatch("{{subject}}"), " apply-header=\"true\""), "../../escape", "spam",
         "invalid mailbox name '../../escape'"},
        {Rule(AnyMatch(), Dispatch("nowhere")), "hello", "spam",
         "WARNING CPOP3ClientMessage::MoveToTargetMailbox(): failed to move file " + raw +
             " to it's target mailbox at " + (m_Dir / "alice/nowhere/")},
    };
    for (const auto& c : cases) {
        Quietly([] { RuleSetPool().Clear(); });  // dropping a rule set saves it over its file
        WriteRules(c.rules);
        auto message = Spooled(RawFile(), "From: a@h\r\nSubject: " + c.subject + "\r\n\r\n");
        std::string log = Quietly([&] { message->Process(); });
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        for (const char* box : {".raw", "spam", "mail", "inbox"}) {
            EXPECT_EQ(Mailbox(box).size(), c.box == box ? 1u : 0u) << c.rules << " " << box;
            for (const std::string& file : Mailbox(box))
                std::filesystem::remove(m_Dir / ("alice/" + std::string(box) + "/" + file));
        }
    }
}
