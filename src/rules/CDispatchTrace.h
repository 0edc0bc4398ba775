#pragma once

#include <string>
#include <vector>

#include "rules/CDispatchDecision.h"

namespace Nerra {

// The walk of one message through a rule set, rule by rule, for whoever asks why it went
// where it went. The dispatch fills one only when it is given one: the service gives none
// and pays nothing for it.
struct CDispatchTrace {
    struct CMatchStep {
        std::string handler;
        bool accepted = false;
        std::string detail;  // what decided it: the field, value and pattern, or the script's result
    };
    struct CActionStep {
        std::string handler;
        std::string detail;  // what the action does
        std::string result;  // the mailbox it named, empty for none
    };
    struct CRuleStep {
        std::string description;
        std::string id;
        std::string skipped;  // why the rule was not evaluated ("disabled", "expired", ...); empty when it was
        std::vector<CMatchStep> matches;
        std::vector<CActionStep> actions;
        bool accepted = false;  // every match accepted, so the actions ran
        std::string failure;    // what went wrong when the rule failed
    };

    std::vector<CRuleStep> rules;
    CDispatchDecision decision;
};

}  // namespace Nerra
