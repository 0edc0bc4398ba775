#include "mail/LockPools.h"

namespace Nerra {

CLockablePool<CUserXML>& UserPool()
{
    static CLockablePool<CUserXML> pool;
    return pool;
}

CLockablePool<CRuleSet>& RuleSetPool()
{
    static CLockablePool<CRuleSet> pool;
    return pool;
}

}  // namespace Nerra
