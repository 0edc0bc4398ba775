#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace Nerra {

// What a look over a rule set without running it finds: patterns that do not compile,
// scripts that do not compile, unreadable expiry dates, and mailboxes that cannot receive
// mail. Macros in a text stand for empty values while it is compiled.
struct CRuleCheck {
    // Whether a mailbox named by a dispatch action has a directory to receive mail.
    std::function<bool(const std::string& mailbox)> mailboxExists;
    // One text per problem, each naming its rule.
    std::vector<std::string> problems;
    // The ids of the rules, which rule-set actions may refer to.
    std::set<std::string> ids;
    // The description of the rule being looked at.
    std::string rule;

    void Add(const std::string& problem) { problems.push_back("rule '" + rule + "': " + problem); }
};

}  // namespace Nerra
