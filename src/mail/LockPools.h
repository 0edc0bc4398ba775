#pragma once

#include "mail/CUserXML.h"
#include "rules/CRuleSet.h"
#include "runtime/CLockablePool.h"

namespace Nerra {

// Users' account documents, by user name.
CLockablePool<CUserXML>& UserPool();
// Users' rule sets, by user name; a rule set saves itself when the pool unloads it (at a
// flush, at stop, or when the console locks it), never while a message uses it.
CLockablePool<CRuleSet>& RuleSetPool();

}  // namespace Nerra
