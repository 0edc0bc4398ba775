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

TEST_F(CAuthenticationTest, OnlyTheExactPasswordIsAccepted)
{
    const std::string plain = "<authentication handler=\"plaintext\" password=\"Secret\"/>";
    const struct {
        std::string elements, password;
        bool accepted;
    } cases[] = {
        {plain, "Secret", true}, {plain, "secret", false}, {plain, "Secret ", false}, {plain, "", false},
        // The salt surrounds the password; an empty one is plain SHA-1, in either case of hex digits.
        {"<authentication handler=\"hash\" method=\"sha1\" salt=\"s4lt\" hash=\"" + HashOf("s4ltpws4lt") + "\"/>",
         "pw", true},
        {"<authentication handler=\"hash\" method=\"sha1\" salt=\"s4lt\" hash=\"" + HashOf("s4ltpws4lt") + "\"/>",
         "PW", false},
        {"<authentication handler=\"hash\" method=\"sha1\" salt=\"\" hash=\"" + ToUpper(HashOf("pw")) + "\"/>", "pw",
         true},
        // Only the first element counts.
        {plain + "<authentication handler=\"plaintext\" password=\"two\"/>", "two", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Handler(c.elements)->Authenticate("alice", c.password), c.accepted) << c.elements << c.password;
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

TEST(CRemoteAccount, TlsDefaultsByPortAndBadValuesAreRefused)
{
    TempDir dir;
    CConfig::Instance().SetValue("mail-directory", dir.Path());
    std::filesystem::create_directories(dir / "alice");
    const std::string pin = "sha256:" + std::string(64, 'A');
    const struct {
        std::string attributes;
        CRemoteAccount::ETls tls;
        std::string failure;  // empty: accepted
    } cases[] = {
        {"port=\"110\"", CRemoteAccount::ETls::None, ""},
        {"port=\"995\"", CRemoteAccount::ETls::Implicit, ""},
        {"port=\"pop3s\"", CRemoteAccount::ETls::Implicit, ""},
        {"port=\"995\" tls=\"none\"", CRemoteAccount::ETls::None, ""},
        {"port=\"110\" tls=\"starttls\" auth=\"xoauth2\"", CRemoteAccount::ETls::StartTls, ""},
        {"port=\"110\" tls=\"STARTTLS\"", CRemoteAccount::ETls::None,
         "Invalid tls value 'STARTTLS', must be implicit, starttls or none"},
        {"port=\"110\" auth=\"plain\"", CRemoteAccount::ETls::None, "auth 'plain' needs TLS, but tls is none"},
        {"port=\"110\" auth=\"cram\"", CRemoteAccount::ETls::None,
         "Invalid auth value 'cram', must be user, plain or xoauth2"},
        {"port=\"995\" fingerprint=\"sha256:12\"", CRemoteAccount::ETls::Implicit,
         "Invalid certificate fingerprint 'sha256:12': expected \"sha256:\" and 64 hex digits"},
    };
    for (const auto& c : cases) {
        WriteFile(dir / "alice/user.xml", "<user><pop3-clients><pop3-client hostname=\"h\" username=\"u\" "
                                          "password=\"c2VjcmV0\" " + c.attributes +
                                              (c.attributes.find("fingerprint") == std::string::npos
                                                   ? " fingerprint=\"" + pin + "\""
                                                   : "") +
                                              "/></pop3-clients></user>");
        const auto entries = ReadRemoteAccounts(CUserXML("alice"));
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].failure.substr(0, c.failure.size()), c.failure) << c.attributes;
        EXPECT_EQ(entries[0].failure.empty(), c.failure.empty()) << c.attributes;
        if (c.failure.empty()) {
            EXPECT_EQ(entries[0].account.tls, c.tls) << c.attributes;
            EXPECT_EQ(entries[0].account.password, "secret");
            EXPECT_EQ(entries[0].account.fingerprint, "sha256:" + std::string(64, 'a'));
        }
    }
}
