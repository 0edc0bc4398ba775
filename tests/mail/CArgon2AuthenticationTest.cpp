#include <gtest/gtest.h>

#include <argon2.h>
#include <libxml/parser.h>

#include "TestUtil.h"
#include "core/TextUtils.h"
#include "mail/CUserXML.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

class CArgon2AuthenticationTest : public testing::Test {
protected:
    // The handler of an argon2id element holding `hash`, parsed on its own.
    std::shared_ptr<CAuthentication> Handler(const std::string& hash)
    {
        const std::string text = "<authentication handler=\"hash\" method=\"argon2id\" hash=\"" + hash + "\"/>";
        m_Document.reset(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0));
        return CAuthentication::Create(xmlDocGetRootElement(m_Document.get()));
    }

    std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> m_Document{nullptr, xmlFreeDoc};
};

// The encoded form as hash-password writes it, at a cost small enough for a test.
std::string Encoded(const std::string& password, uint32_t passes = 1, uint32_t memoryKiB = 64, uint32_t lanes = 1)
{
    const std::string salt = "0123456789abcdef";
    char encoded[256];
    EXPECT_EQ(argon2id_hash_encoded(passes, memoryKiB, lanes, password.data(), password.size(), salt.data(),
                                    salt.size(), 32, encoded, sizeof encoded),
              ARGON2_OK);
    return encoded;
}

}  // namespace

TEST_F(CArgon2AuthenticationTest, OnlyTheRightPasswordIsAccepted)
{
    auto handler = Handler(Encoded("pa55word"));
    EXPECT_TRUE(handler->Authenticate("alice", "pa55word"));
    for (const char* wrong : {"Pa55word", "pa55word ", "pa55wor", ""})
        EXPECT_FALSE(handler->Authenticate("alice", wrong)) << wrong;
    EXPECT_TRUE(Handler(Encoded("x", 2, 128, 2))->Authenticate("alice", "x"));  // the cost comes from the element
}

TEST_F(CArgon2AuthenticationTest, AnEditedCostSaltOrHashFailsTheLogin)
{
    const std::string good = Encoded("pw");
    const size_t salt = good.find("$", good.find("p=")) + 1;
    std::string otherHash = good, otherSalt = good;
    otherHash.back() = otherHash.back() == 'A' ? 'B' : 'A';
    otherSalt[salt] = otherSalt[salt] == 'A' ? 'B' : 'A';
    for (const std::string& edited : {otherHash, otherSalt, Replace(good, "t=1,", "t=2,"),
                                      Replace(good, "m=64,", "m=72,")})
        EXPECT_FALSE(Handler(edited)->Authenticate("alice", "pw")) << edited;
}

TEST_F(CArgon2AuthenticationTest, MalformedElementsAreRefusedWhenCreated)
{
    const std::string salt = "MDEyMzQ1Njc4OWFiY2RlZg";                       // 16 bytes
    const std::string hash = "n0Xj4S7SxCp8mDhNlnnqIGs1JGgmHtRYDTvAU2bZZ2Q";  // 32 bytes
    const std::string tail = "$" + salt + "$" + hash;
    ASSERT_NO_THROW(Handler("$argon2id$v=19$m=64,t=1,p=1" + tail));
    for (const std::string& bad : {
             std::string(),
             "$argon2i$v=19$m=64,t=1,p=1" + tail,
             "$argon2id$v=16$m=64,t=1,p=1" + tail,
             "$argon2id$m=64,t=1,p=1" + tail,
             "$argon2id$v=19$t=1,m=64,p=1" + tail,
             "$argon2id$v=19$m=1048577,t=1,p=1" + tail,   // more memory than any login may take
             "$argon2id$v=19$m=15,t=1,p=2" + tail,        // less than 8 KiB a lane
             "$argon2id$v=19$m=64,t=0,p=1" + tail,
             "$argon2id$v=19$m=64,t=101,p=1" + tail,
             "$argon2id$v=19$m=64,t=1,p=0" + tail,
             "$argon2id$v=19$m=640,t=1,p=65" + tail,
             "$argon2id$v=19$m=64,t=1,p=99999999999" + tail,
             "$argon2id$v=19$m=64,t=1,p=1$MDEyMzQ1Ng$" + hash,  // 7-byte salt
             "$argon2id$v=19$m=64,t=1,p=1$" + salt + "$MDEyMzQ1Njc4OWFiY2Rl",  // 15-byte hash
             "$argon2id$v=19$m=64,t=1,p=1$" + salt + "$" + hash + hash + hash,  // 96-byte hash
             "$argon2id$v=19$m=64,t=1,p=1$" + salt + "$" + hash.substr(2),  // a length Base64 cannot have
             "$argon2id$v=19$m=64,t=1,p=1$" + salt + "$" + hash + "==",
             "$argon2id$v=19$m=64,t=1,p=1$" + salt + "$" + hash + "$",
             " $argon2id$v=19$m=64,t=1,p=1" + tail,
         }) {
        try {
            Handler(bad);
            ADD_FAILURE() << bad;
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Invalid argon2id hash '" + bad + "': ", 0), 0u) << e.what();
        }
    }
}
