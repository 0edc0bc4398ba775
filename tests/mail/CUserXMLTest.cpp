#include <gtest/gtest.h>

#include <functional>

#include "TestUtil.h"
#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "mail/CUserXML.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

// Builds the authentication handler of a user.xml holding the given element(s).
class CAuthenticationTest : public testing::Test {
protected:
    std::shared_ptr<CAuthentication> Handler(const std::string& elements)
    {
        std::filesystem::create_directories(m_Dir / "alice");
        WriteFile(m_Dir / "alice/user.xml", "<user><pop3-server>" + elements + "</pop3-server></user>");
        CConfig::Instance().SetValue("mail-directory", m_Dir.Path());
        m_User = std::make_unique<CUserXML>("alice");
        return CAuthentication::Create(
            CXPathContext(*m_User).Eval("/user/pop3-server/authentication").GetNodePtr());
    }

    std::string HashOf(const std::string& text) { return Sha1Hex(text.data(), text.size()); }

    TempDir m_Dir;
    std::unique_ptr<CUserXML> m_User;
};

}  // namespace

TEST_F(CAuthenticationTest, PlaintextIsExactAndCaseSensitive)
{
    auto handler = Handler("<authentication handler=\"plaintext\" password=\"Secret\"/>");
    EXPECT_TRUE(handler->Authenticate("alice", "Secret"));
    EXPECT_FALSE(handler->Authenticate("alice", "secret"));
    EXPECT_FALSE(handler->Authenticate("alice", "Secret "));
    EXPECT_FALSE(handler->Authenticate("alice", ""));
}

TEST_F(CAuthenticationTest, SaltedHashSurroundsThePassword)
{
    auto handler = Handler("<authentication handler=\"hash\" method=\"sha1\" salt=\"s4lt\" hash=\"" +
                           HashOf("s4ltpws4lt") + "\"/>");
    EXPECT_TRUE(handler->Authenticate("alice", "pw"));
    EXPECT_FALSE(handler->Authenticate("alice", "PW"));
}

TEST_F(CAuthenticationTest, EmptySaltIsPlainShaAndUpperCaseHashIsAccepted)
{
    auto handler = Handler("<authentication handler=\"hash\" method=\"sha1\" salt=\"\" hash=\"" +
                           ToUpper(HashOf("pw")) + "\"/>");
    EXPECT_TRUE(handler->Authenticate("alice", "pw"));
}

TEST_F(CAuthenticationTest, OnlyTheFirstElementCounts)
{
    auto handler = Handler("<authentication handler=\"plaintext\" password=\"one\"/>"
                           "<authentication handler=\"plaintext\" password=\"two\"/>");
    EXPECT_TRUE(handler->Authenticate("alice", "one"));
    EXPECT_FALSE(handler->Authenticate("alice", "two"));
}

TEST_F(CAuthenticationTest, BadHandlersAreRefusedWhenCreated)
{
    const std::string good = HashOf("pw");
    const struct {
        std::string element;
        std::string message;
    } cases[] = {
        {"<authentication handler=\"Plaintext\" password=\"x\"/>", "Invalid or unknown authentication handler: 'Plaintext'"},
        {"<authentication password=\"x\"/>", "Invalid or unknown authentication handler: ''"},
        {"<authentication handler=\"hash\" method=\"md5\" hash=\"" + good + "\"/>",
         "Unknown hash method: 'md5', only sha1 and argon2id are supported"},
        {"<authentication handler=\"hash\" method=\"sha1\" hash=\"" + good.substr(1) + "\"/>",
         "Invalid hash value: '" + good.substr(1) + "', must be a string of 40 hex chars"},
        {"<authentication handler=\"hash\" method=\"sha1\" hash=\"" + good + "0\"/>",
         "Invalid hash value: '" + good + "0', must be a string of 40 hex chars"},
        {"<authentication handler=\"hash\" method=\"sha1\" hash=\"g" + good.substr(1) + "\"/>",
         "Invalid hash value: 'g" + good.substr(1) + "', must be a string of 40 hex chars"},
    };
    for (const auto& c : cases) {
        try {
            Handler(c.element);
            ADD_FAILURE() << c.element;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(CUserXML, MissingAccountFailsToLoad)
{
    TempDir dir;
    CConfig::Instance().SetValue("mail-directory", dir.Path());
    Quietly([] { EXPECT_THROW(CUserXML("nobody"), CMessageException); });
}
