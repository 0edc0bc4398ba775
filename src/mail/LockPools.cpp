#include "mail/LockPools.h"

#include "mail/MailStore.h"

namespace Nerra {

CLockablePool<CUserXML>& UserPool()
{
    static CLockablePool<CUserXML> pool([](const std::string& user) { return std::make_shared<CUserXML>(user); });
    return pool;
}

CLockablePool<CRuleSet>& RuleSetPool()
{
    static CLockablePool<CRuleSet> pool([](const std::string& user) {
        const std::string directory = UserDirectory(user) + "/";
        return std::make_shared<CRuleSet>(user, directory + "ruleset.xml", directory + "ruleset.xsd");
    });
    return pool;
}

CNameValueMap& TrainingTable()
{
    static CNameValueMap table;
    return table;
}

}  // namespace Nerra
