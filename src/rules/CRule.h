#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <libxml/tree.h>

#include "rules/CAction.h"

namespace Nerra {

class CMatch;
struct CDispatchTrace;
struct CRuleCheck;

// A list of matches, all of which must accept a message, and a list of actions, the first
// of which that names a mailbox decides. Stored rules keep their macros; each message is
// dispatched through a clone expanded against its header.
class CRule {
public:
    explicit CRule(xmlNodePtr element);

    bool Expired();
    // Writes the rule under `rules`; false (nothing written) when it has expired.
    bool Save(xmlNodePtr rules);
    // Writes the rule under `parent` whatever its expiry: an insert action's template must
    // stay with its action, or the rule set cannot be loaded again.
    void Write(xmlNodePtr parent) const;
    std::shared_ptr<CRule> Clone() const;
    // A rule whose dispatch could differ from its clone's: one that expands macros, or whose
    // rule-set actions insert templates that must be fresh for every message.
    bool NeedsClone() const;
    void ApplyHeader(const CMessageHeader& header);
    // The text the first deciding action names ("<delete>", "<contents>" or a mailbox); empty
    // when the rule does not take the message. With a trace, records the rule's step in the
    // trace's last rule entry.
    std::string DispatchMessage(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CRuleList& rules,
                                CRuleList::iterator& position, CDispatchTrace* trace);

    // Looks over the rule, its matches, actions and templates without running them.
    void Check(CRuleCheck& check) const;

    const std::string& GetId() const { return m_Id; }
    const std::string& GetDescription() const { return m_Description; }
    void SetApplyHeader(bool applyHeader) { m_ApplyHeader = applyHeader; }
    void IncrementDispatchedMessages() { ++m_DispatchedMessages; }

private:
    CRule() = default;

    std::string m_Id;
    std::string m_Description;
    std::string m_Expires;
    time_t m_ExpiryTime = 0;  // 0 until computed
    // The converted expiry, shared with the rule's clones: converting the text for every
    // clone of every rule would cost more than the rest of the dispatch.
    struct CExpiryCache {
        std::string text;
        time_t time = 0;
    };
    std::shared_ptr<CExpiryCache> m_ExpiryCache = std::make_shared<CExpiryCache>();
    bool m_ApplyHeader = false;
    int32_t m_DispatchedMessages = 0;
    bool m_Enabled = false;
    bool m_Trainable = false;
    std::vector<std::shared_ptr<CMatch>> m_Matches;
    std::vector<std::shared_ptr<CAction>> m_Actions;
};

}  // namespace Nerra
