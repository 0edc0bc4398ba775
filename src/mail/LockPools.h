#pragma once

#include "core/CConfig.h"
#include "mail/CUserXML.h"
#include "rules/CRuleSet.h"
#include "runtime/CLockablePool.h"

namespace Nerra {

// Users' account documents, by user name.
CLockablePool<CUserXML>& UserPool();
// Users' rule sets, by user name; a rule set saves itself when the pool unloads it (at a
// flush, at stop, or when the console locks it), never while a message uses it.
CLockablePool<CRuleSet>& RuleSetPool();
// Spool files queued for training: lower-cased file name to the mailbox to train into.
CNameValueMap& TrainingTable();

}  // namespace Nerra
