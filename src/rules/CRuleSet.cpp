#include "rules/CRuleSet.h"

#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "message/CMessageHeader.h"
#include "rules/CDispatchTrace.h"
#include "rules/CRule.h"
#include "rules/CRuleCheck.h"

namespace Nerra {

CSequencer& CSequencer::Instance()
{
    static CSequencer sequencer;
    return sequencer;
}

uint32_t CSequencer::Next()
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(*this);
    if (m_Count == 0xFFFFFFFFu)
        throw CMessageException("The sequence counter has overflowed");
    return ++m_Count;
    NERRA_TRACE_END("CSequencer::Next()")
}

CRuleSet::CRuleSet(const std::string& userName, const std::string& rulesPath, const std::string& schemaPath,
                   Persistence persistence)
    : m_UserName(userName), m_RulesPath(rulesPath), m_SchemaPath(schemaPath), m_Persistence(persistence)
{
    NERRA_TRACE_BEGIN
    std::string content;
    if (m_Persistence == Persistence::SaveOnRelease && CFile::ReadAll(m_RulesPath, content))
        m_LoadedDigest = Sha1Hex(content.data(), content.size());
    CXMLDocument document(m_RulesPath);
    document.Validate(m_SchemaPath);
    CXPathContext context(document);
    m_DispatchedMessages = static_cast<int32_t>(context.Eval("/ruleset/@dispatched-messages").GetNumber());
    m_LoadedDispatchedMessages = m_DispatchedMessages;
    CXPathObject rules = context.Eval("/ruleset/rules/rule");
    for (size_t i = 0; i < rules.GetNodeCount(); ++i)
        m_Rules->push_back(std::make_shared<CRule>(rules.GetNode(i)));
    NERRA_TRACE_END("CRuleSet::CRuleSet('%s')", userName.c_str())
}

CRuleSet::~CRuleSet()
{
    NERRA_TRACE_BEGIN
    if (m_Persistence == Persistence::SaveOnRelease)
        Save();
    NERRA_TRACE_END_CONTINUE("CRuleSet::~CRuleSet()")
}

void CRuleSet::Save()
{
    CLockGuard guard(m_Rules);
    // Someone edited the file while it was cached (without holding its lock): what they wrote
    // is what they meant, and the cached copy's updates since the load are given up.
    std::string content;
    if (!CFile::ReadAll(m_RulesPath, content) || Sha1Hex(content.data(), content.size()) != m_LoadedDigest) {
        CLog::Instance().Warning("CRuleSet::Save(%s): %s was changed on disk since it was loaded, the edit is kept "
                                 "and %d counter updates are given up",
                                 m_UserName.c_str(), m_RulesPath.c_str(), m_DispatchedMessages - m_LoadedDispatchedMessages);
        return;
    }
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("ruleset");
    SetXmlAttribute(root, "dispatched-messages", Format("%d", m_DispatchedMessages));
    xmlNodePtr rulesNode = AddXmlChild(root, "rules");
    for (auto rule = m_Rules->begin(); rule != m_Rules->end();) {
        if ((*rule)->Save(rulesNode))
            ++rule;
        else
            rule = m_Rules->erase(rule);  // expired rules are dropped at the save
    }
    document.Validate(m_SchemaPath);
    document.SaveTo(m_RulesPath);
}

void CRuleSet::Check(CRuleCheck& check)
{
    CLockGuard guard(m_Rules);
    for (const auto& rule : m_Rules.Get())
        check.ids.insert(rule->GetId());
    for (const auto& rule : m_Rules.Get())
        rule->Check(check);
}

void CRuleSet::IncrementDispatchedMessages()
{
    NERRA_TRACE_BEGIN
    ++m_DispatchedMessages;
    const uint32_t sequence = CSequencer::Instance().Next();
    if (sequence % 100 == 0)
        CLog::Instance().Info("Messages dispatched this run: %d", static_cast<int>(sequence));
    NERRA_TRACE_END("CRuleSet::IncrementDispatchedMessages()")
}

CDispatchDecision CRuleSet::DispatchMessage(const std::shared_ptr<CMessageHeader>& header,
                                            const std::shared_ptr<CFile>& file, CDispatchTrace* trace)
{
    NERRA_TRACE_BEGIN
    CLockGuard guard(m_Rules);
    const std::optional<CDispatchDecision> taken = Walk(*header, file, trace);
    IncrementDispatchedMessages();
    CDispatchDecision decision;
    if (header->GetValueCount("x-nerra-training-mailbox") > 0) {
        if (taken)
            throw CMessageException("In training mode the ruleset should have come up with no result");
        decision = CDispatchDecision::Mailbox(header->GetValue("x-nerra-training-mailbox", 0));
    } else if (taken) {
        decision = *taken;
    } else {
        CLog::Instance().Warning("CRuleSet::DispatchMessage(%s): message%s was not accepted by any rule, dispatching "
                                 "message to spam mailbox",
                                 m_UserName.c_str(), file ? "" : " header");
        decision = CDispatchDecision::Spam("no rule accepted the message");
    }
    if (trace)
        trace->decision = decision;
    return decision;
    NERRA_TRACE_END("CRuleSet::DispatchMessage(" NERRA_PTR ", " NERRA_PTR ")", NERRA_PTR_ARG(header.get()),
                    NERRA_PTR_ARG(file.get()))
}

// The decision of the rule that took the message (or failed), none when no rule took it.
std::optional<CDispatchDecision> CRuleSet::Walk(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CDispatchTrace* trace)
{
    CRuleList& rules = m_Rules.Get();
    unsigned evaluations = 0;
    for (auto position = rules.begin(); position != rules.end();) {
        // Held across the dispatch: the rule stays alive (and identifiable) even when one of
        // its actions removes it from the list.
        const std::shared_ptr<CRule> running = *position;
        if (trace)
            trace->rules.push_back({running->GetDescription(), running->GetId()});
        try {
            if (++evaluations > MAX_RULE_EVALUATIONS)
                throw CMessageException("The walk of the rules took more than %u rule evaluations", MAX_RULE_EVALUATIONS);
            // The stored rule keeps its macros: a message is dispatched through a clone
            // expanded against its header, unless the clone would be the same as the rule.
            std::shared_ptr<CRule> clone = running;
            if (running->NeedsClone()) {
                clone = running->Clone();
                clone->ApplyHeader(header);
            }
            const std::string result = clone->DispatchMessage(header, file, rules, position, trace);
            if (result == ".")
                throw CMessageException("Rule \"%s\" attempted to dispatch message to a special mailbox \"%s\"",
                                        running->GetDescription().c_str(), result.c_str());
            // With the whole message at hand, a rule that asks for it has nothing to add.
            if (!result.empty() && !(result == "<contents>" && file)) {
                // The rule at the position is the one that ran unless an action moved the
                // walk; with the walk moved past the end, the rule that ran is counted.
                (position != rules.end() ? **position : *running).IncrementDispatchedMessages();
                if (result == "<delete>")
                    return CDispatchDecision::Delete();
                if (result == "<contents>")
                    return CDispatchDecision::NeedsContents();
                return CDispatchDecision::Mailbox(result);
            }
        } catch (...) {
            CLog::Instance().Error("CRuleSet::DispatchMessage(%s): exception caught when passing message%s to rule "
                                   "'%s', dispatching message to spam mailbox: %s",
                                   m_UserName.c_str(), file ? "" : " header", running->GetDescription().c_str(),
                                   CurrentFailureText().c_str());
            const std::string failure = CurrentExceptionText();
            if (trace)
                trace->rules.back().failure = failure;
            return CDispatchDecision::Spam("rule '" + running->GetDescription() + "' failed: " + failure);
        }
        if (position != rules.end() && position->get() == running.get())
            ++position;
    }
    return std::nullopt;
}

}  // namespace Nerra
