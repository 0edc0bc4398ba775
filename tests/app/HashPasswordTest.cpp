#include <gtest/gtest.h>

#include <libxml/parser.h>

#include "app/HashPassword.h"
#include "core/TextUtils.h"
#include "mail/CUserXML.h"

using namespace Nerra;

namespace {

// The element as the service reads it from user.xml.
bool Accepts(const std::string& element, const std::string& password)
{
    std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> document(
        xmlReadMemory(element.data(), static_cast<int>(element.size()), nullptr, nullptr, 0), xmlFreeDoc);
    return CAuthentication::Create(xmlDocGetRootElement(document.get()))->Authenticate("alice", password);
}

}  // namespace

TEST(HashPassword, ElementsAcceptTheirPasswordOnly)
{
    const struct {
        const char* method;
        boost::regex form;
    } cases[] = {
        {"argon2id", boost::regex("<authentication handler=\"hash\" method=\"argon2id\" "
                                  "hash=\"\\$argon2id\\$v=19\\$m=65536,t=3,p=1\\$[A-Za-z0-9+/]{22}\\$[A-Za-z0-9+/]{43}\"/>")},
        {"sha1", boost::regex("<authentication handler=\"hash\" method=\"sha1\" salt=\"[0-9a-f]{16}\" "
                              "hash=\"[0-9a-f]{40}\"/>")},
    };
    for (const auto& c : cases) {
        const std::string element = AuthenticationElement(c.method, "Pa55 word!");
        EXPECT_TRUE(MatchesWhole(element, c.form)) << element;
        EXPECT_TRUE(Accepts(element, "Pa55 word!")) << element;
        EXPECT_FALSE(Accepts(element, "pa55 word!")) << element;
        EXPECT_NE(AuthenticationElement(c.method, "Pa55 word!"), element) << "the salt must be fresh each time";
    }
}
