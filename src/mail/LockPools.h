#pragma once

#include "mail/CUserXML.h"
#include "rules/CRuleSet.h"
#include "runtime/CLockablePool.h"

namespace Nerra {

// Users' account documents, by user name.
CLockablePool<CUserXML>& UserPool();
// Users' rule sets, by user name; a rule set is saved when the last holder lets it go.
CLockablePool<CRuleSet>& RuleSetPool();

}  // namespace Nerra
