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
        return std::make_shared<CRuleSet>(user, RuleSetPath(user), RuleSetSchemaPath(user));
    });
    return pool;
}

CNameValueMap& TrainingTable()
{
    static CNameValueMap table;
    return table;
}

}  // namespace Nerra
